# How the status page is installed, and its Debian package zentserver-webstatus: read by
# cmake/ZentInstall.cmake (where the install layout is known) before it includes CPack.
# Installed into the server's plugins directory, with its configuration as a Debian conffile in
# /etc/zentserver (or <prefix>/etc/zentserver for an install elsewhere than /usr, where the
# plugin looks for it).
if(NOT TARGET zent_webstatus)
  return()  # left out of this build
endif()
# The plugin looks for its configuration where the install puts it (see plugin.cc).
target_compile_definitions(zent_webstatus PRIVATE
  ZENT_WEBSTATUS_SYSCONF="/etc/zentserver/webstatus.conf"
  ZENT_WEBSTATUS_APPDIR="${ZENT_INSTALL_APPDIR}")
install(TARGETS zent_webstatus LIBRARY DESTINATION ${ZENT_INSTALL_APPDIR}/plugins
        COMPONENT webstatus)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(zent_conf_dir \"/etc/zentserver\")
  else()
    set(zent_conf_dir \"\${CMAKE_INSTALL_PREFIX}/etc/zentserver\")
  endif()
  file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/webstatus.conf\" DESTINATION \"\${zent_conf_dir}\"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
" COMPONENT webstatus)
# The operator's guide and Prometheus alerting rules that go with the metrics.
install(FILES ${CMAKE_SOURCE_DIR}/docs/operators.md ${CMAKE_CURRENT_LIST_DIR}/prometheus/alerts.yml
        DESTINATION share/doc/zentserver-webstatus COMPONENT webstatus)

set(CPACK_DEBIAN_WEBSTATUS_PACKAGE_NAME zentserver-webstatus)
set(CPACK_DEBIAN_WEBSTATUS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_WEBSTATUS_PACKAGE_SECTION net)
string(CONCAT CPACK_DEBIAN_WEBSTATUS_DESCRIPTION
       "status page and Prometheus metrics of zentserver\n"
       "Serves over HTTP, on 127.0.0.1:8090 unless /etc/zentserver/webstatus.conf says\n"
       "otherwise, a page with the plugins, channels, queue and charts of the last 10 minutes,\n"
       "the metrics for Prometheus, and the server's status and statistics documents. The\n"
       "figures need the server's statistics: ZENT_STATS_INTERVAL in /etc/default/zentserver.")
# The libraries the plugin links, by their Debian packages (dpkg -S on each).
set(CPACK_DEBIAN_WEBSTATUS_PACKAGE_DEPENDS
    "zentserver (= ${PROJECT_VERSION}), libmicrohttpd12, libtinyxml2.6.2v5, libcrypt1, libc6, libstdc++6, libgcc-s1")
# The configuration is the operator's: an upgrade keeps their changes.
set(CPACK_DEBIAN_WEBSTATUS_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
