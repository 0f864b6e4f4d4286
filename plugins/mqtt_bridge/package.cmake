# How the bridge is installed, and its Debian package zentserver-mqtt-bridge: read by
# cmake/ZentInstall.cmake (where the install layout is known) before it includes CPack.
# Installed into the server's plugins directory, with its configuration as a Debian conffile
# in /etc/zentserver (or <prefix>/etc/zentserver for an install elsewhere than /usr). Mode
# 0640: it may name a password file and decides what the server takes in.
install(TARGETS zent_mqtt_bridge LIBRARY DESTINATION ${ZENT_INSTALL_APPDIR}/plugins
        COMPONENT mqtt_bridge)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(zent_conf_dir \"/etc/zentserver\")
  else()
    set(zent_conf_dir \"\${CMAKE_INSTALL_PREFIX}/etc/zentserver\")
  endif()
  file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/mqtt-bridge.conf\" DESTINATION \"\${zent_conf_dir}\"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
" COMPONENT mqtt_bridge)

set(CPACK_DEBIAN_MQTT_BRIDGE_PACKAGE_NAME zentserver-mqtt-bridge)
set(CPACK_DEBIAN_MQTT_BRIDGE_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_MQTT_BRIDGE_PACKAGE_SECTION net)
string(CONCAT CPACK_DEBIAN_MQTT_BRIDGE_DESCRIPTION
       "MQTT bridge plugin for zentserver\n"
       "Carries chosen messages between zentserver installations through an MQTT 5 broker,\n"
       "with TLS, back-off and bounded queues. Nothing is carried and nothing taken in until\n"
       "/etc/zentserver/mqtt-bridge.conf says so.")
set(CPACK_DEBIAN_MQTT_BRIDGE_PACKAGE_DEPENDS
    "zentserver (= ${PROJECT_VERSION}), libmosquitto1, libssl3, libc6, libstdc++6, libgcc-s1")
# The configuration is the operator's: upgrades keep their changes.
set(CPACK_DEBIAN_MQTT_BRIDGE_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
