# Spam classifier service: talks to SpamAssassin's spamd (Debian spamd) over
# its socket with the spamd protocol; needs no library to build.
add_service(ruvospam spam)
