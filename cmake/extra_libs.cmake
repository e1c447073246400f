# Extra system libraries of the proxy (one block per feature).

# Directory logon: OpenLDAP client library (and its BER encoder).
target_link_libraries(proxycore PUBLIC ldap lber)
# DNS queries to a named server (block-list lookups): the resolver library.
target_link_libraries(proxycore PUBLIC resolv)
# gzip and deflate bodies of inspected HTTP messages.
target_link_libraries(proxycore PUBLIC z)
