# Install layout. The server finds its plugins beside its executable and makes that directory
# its working directory, so the executable and its plugins directory live together in a
# directory of their own (not in bin/):
#   <prefix>/lib/zentserver/zentserver          the server
#   <prefix>/lib/zentserver/plugins/            plugins go here
#   <prefix>/lib/systemd/system/zentserver.service
include(GNUInstallDirs)

set(ZENT_INSTALL_APPDIR "lib/zentserver" CACHE STRING
    "Directory (relative to the prefix) of the server's executable and its plugins directory")
set(ZENT_INSTALL_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory (relative to the prefix) of the systemd unit")
set(ZENT_INSTALLED_EXE "${CMAKE_INSTALL_PREFIX}/${ZENT_INSTALL_APPDIR}/zentserver")

install(TARGETS zentserver RUNTIME DESTINATION ${ZENT_INSTALL_APPDIR} COMPONENT server)
install(DIRECTORY DESTINATION ${ZENT_INSTALL_APPDIR}/plugins COMPONENT server)

configure_file(${CMAKE_SOURCE_DIR}/packaging/zentserver.service.in
               ${CMAKE_BINARY_DIR}/packaging/zentserver.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/zentserver.service
        DESTINATION ${ZENT_INSTALL_UNITDIR} COMPONENT server)
