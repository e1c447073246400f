# The Debian package, made by CPack's DEB generator from the same install
# rules as `cmake --install` (make package).  The system files (units,
# /etc/ruvoproxy, man pages, examples, tmpfiles rule) are installed only with
# -DPROXY_PACKAGE_FILES=ON, so a plain `cmake --install` into /usr/local never
# writes into /etc or /lib.
option(PROXY_PACKAGE_FILES "Install the system files of the Debian package" OFF)

# The version is the one the program prints in its banner.
file(STRINGS ${CMAKE_SOURCE_DIR}/core/settings.h version_line REGEX "kVersion = \"v[0-9.]+\"")
string(REGEX REPLACE ".*\"v([0-9.]+)\".*" "\\1" PROXY_VERSION "${version_line}")

set(PKG ${CMAKE_SOURCE_DIR}/packaging)
if(PROXY_PACKAGE_FILES)
  install(DIRECTORY ${PKG}/systemd/ DESTINATION /lib/systemd/system FILES_MATCHING PATTERN "*.service")
  install(DIRECTORY ${PKG}/etc/ DESTINATION /etc/ruvoproxy FILES_MATCHING PATTERN "*.conf")
  install(FILES ${PKG}/tmpfiles/ruvoproxy.conf DESTINATION lib/tmpfiles.d)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/ruvoproxy)
  install(FILES ${PKG}/haproxy-ruvoproxy.cfg DESTINATION share/doc/ruvoproxy/examples)

  # Example list files: the same ones `make run` writes into its demo folder.
  set(examples ${CMAKE_BINARY_DIR}/package-examples)
  file(REMOVE_RECURSE ${examples})
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/demo_data.sh ${examples} OUTPUT_QUIET
                  RESULT_VARIABLE examples_rc)
  if(NOT examples_rc EQUAL 0)
    message(FATAL_ERROR "scripts/demo_data.sh failed (${examples_rc})")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scripts/demo_data.sh)
  file(GLOB example_files LIST_DIRECTORIES false ${examples}/TORV/*)
  install(FILES ${example_files} DESTINATION share/ruvoproxy/examples)

  # Man pages, compressed as Debian ships them; every program name has one.
  set(man_out ${CMAKE_BINARY_DIR}/man)
  set(man_pages)
  foreach(page ruvohprx ruvoproxy-services)
    add_custom_command(OUTPUT ${man_out}/${page}.8.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${man_out}
      COMMAND gzip -9nc ${PKG}/man/${page}.8 > ${man_out}/${page}.8.gz
      DEPENDS ${PKG}/man/${page}.8 VERBATIM)
    list(APPEND man_pages ${man_out}/${page}.8.gz)
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION share/man/man8)
  set(man_links ruvosprx:ruvohprx ruvopprx:ruvohprx ruvoiprx:ruvohprx ruvofprx:ruvohprx ruvocprx:ruvohprx
      ruvoavs:ruvoproxy-services ruvospam:ruvoproxy-services ruvocwfs:ruvoproxy-services
      qzmail2zip:ruvoproxy-services)
  foreach(pair ${man_links})
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 link)
    list(GET pair 1 target)
    install(CODE "execute_process(COMMAND ${CMAKE_COMMAND} -E create_symlink ${target}.8.gz \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/man/man8/${link}.8.gz)")
  endforeach()

  # conffiles: every file of /etc/ruvoproxy keeps the administrator's edits.
  file(GLOB etc_files ${PKG}/etc/*.conf)
  set(conffiles "")
  foreach(f ${etc_files})
    get_filename_component(name ${f} NAME)
    string(APPEND conffiles "/etc/ruvoproxy/${name}\n")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/package-control/conffiles "${conffiles}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ruvoproxy)
set(CPACK_PACKAGE_VERSION ${PROXY_VERSION})
set(CPACK_PACKAGE_CONTACT "ruvoproxy maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "filtering proxy server: HTTP, SMTP, POP3, IMAP4, FTP and SOCKS")
set(CPACK_PACKAGE_DESCRIPTION "One program serves one protocol per instance: an HTTP proxy with CONNECT\n\
tunnels and ftp:// fetching, SMTP, POP3, IMAP4 and FTP relays, or a SOCKS 4/4a/5\n\
proxy.  Content is handed to four inspection services: virus scanner (ClamAV),\n\
spam classifier (spamd), HTTP content filter and attachment compressor.\n\
Systemd units run one instance per protocol and each service, sandboxed.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
# Dependencies: the shared libraries the programs are linked with
# (dpkg-shlibdeps), plus what the maintainer scripts run.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd, init-system-helpers")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "clamav-freshclam")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "spamd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PKG}/debian/postinst ${PKG}/debian/prerm ${PKG}/debian/postrm ${CMAKE_BINARY_DIR}/package-control/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
