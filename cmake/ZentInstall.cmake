# Install layout. The server finds its plugins beside its executable and makes that directory
# its working directory, so the executable and its plugins directory live together in a
# directory of their own (not in bin/):
#   <prefix>/lib/zentserver/zentserver          the server
#   <prefix>/lib/zentserver/plugins/            plugins go here
#   <prefix>/lib/systemd/system/zentserver.service
#   <prefix>/bin/zentserver-inspect             checks a plugin before it is deployed
# and the plugin SDK:
#   <prefix>/include/zentserver/plugin_api.h
#   <prefix>/include/zentserver/demo_protocol.h what the example plugins agree on
#   <prefix>/share/pkgconfig/zentserver-plugin.pc
#   <prefix>/share/cmake/ZentserverPlugin/      find_package(ZentserverPlugin): Zentserver::plugin
#   <prefix>/share/doc/zentserver/              the plugin author's guides and the examples
# The plugin interface is a header only, so its files go to share/, not to an architecture's
# lib directory. The test harness is a library built for one architecture:
#   <prefix>/include/zentserver/harness.h
#   <prefix>/<libdir>/libzentserver-harness.so.3
#   <prefix>/<libdir>/pkgconfig/zentserver-harness.pc
#   <prefix>/<libdir>/cmake/ZentserverHarness/  find_package(ZentserverHarness): Zentserver::harness
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The server refuses plugins from a directory that group or others may write, so every
# directory an install creates gets 0755 whatever the umask of the one who installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(ZENT_INSTALL_APPDIR "lib/zentserver" CACHE STRING
    "Directory (relative to the prefix) of the server's executable and its plugins directory")
set(ZENT_INSTALL_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory (relative to the prefix) of the systemd unit")
set(ZENT_INSTALL_SDK_CMAKEDIR "share/cmake/ZentserverPlugin")
set(ZENT_INSTALL_PKGCONFIGDIR "share/pkgconfig")

install(TARGETS zentserver RUNTIME DESTINATION ${ZENT_INSTALL_APPDIR} COMPONENT server)
install(DIRECTORY DESTINATION ${ZENT_INSTALL_APPDIR}/plugins COMPONENT server)
install(TARGETS zentserver-inspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)

# Files that name installed paths are made when they are installed, for the prefix of that
# install (cmake --install --prefix P, or /usr in the Debian package): a file made at configure
# time would name the prefix of the configure step, and one shared file in the build tree would
# mix up two installs that run at once, so each install makes its copy in a staging directory
# named after its destination and installs that (with the modes above, whatever the umask).
#   @ZENT_INSTALL_PREFIX@  the install prefix
#   @ZENT_INSTALLED_EXE@   the installed server
#   @ZENT_INSTALL_APPDIR@, @ZENT_INSTALL_LIBDIR@, @PROJECT_VERSION@
#   @ZENT_UNIT_SYSCALL_ARCHITECTURES@  the unit's system-call ABI filter for this build
function(zent_install_configured template destination component)
  get_filename_component(name ${template} NAME_WLE)
  install(CODE "
    set(ZENT_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(ZENT_INSTALLED_EXE \"\${CMAKE_INSTALL_PREFIX}/${ZENT_INSTALL_APPDIR}/zentserver\")
    set(ZENT_INSTALL_APPDIR \"${ZENT_INSTALL_APPDIR}\")
    set(ZENT_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(ZENT_UNIT_SYSCALL_ARCHITECTURES \"${ZENT_UNIT_SYSCALL_ARCHITECTURES}\")
    string(MD5 zent_tag \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(zent_stage \"${CMAKE_BINARY_DIR}/install-staging/\${zent_tag}\")
    configure_file(\"${template}\" \"\${zent_stage}/${name}\" @ONLY)
    file(INSTALL \"\${zent_stage}/${name}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(REMOVE_RECURSE \"\${zent_stage}\")
  " COMPONENT ${component})
endfunction()

# The service may make system calls only through the ABI it was built for. A 32-bit build may
# run on a 64-bit kernel, where the native ABI is the 64-bit one: it needs the 32-bit ABI (x86)
# as well, and the native one stays for the service manager's own start of the process.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ZENT_UNIT_SYSCALL_ARCHITECTURES "SystemCallArchitectures=native x86")
else()
  set(ZENT_UNIT_SYSCALL_ARCHITECTURES "SystemCallArchitectures=native")
endif()
zent_install_configured(${CMAKE_SOURCE_DIR}/packaging/zentserver.service.in
                        ${ZENT_INSTALL_UNITDIR} server)

# The plugin SDK.
install(FILES ${CMAKE_SOURCE_DIR}/src/plugin_api/plugin_api.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentserver COMPONENT sdk)
zent_install_configured(${CMAKE_SOURCE_DIR}/packaging/zentserver-plugin.pc.in
                        ${ZENT_INSTALL_PKGCONFIGDIR} sdk)

set_target_properties(zent_plugin_api PROPERTIES EXPORT_NAME plugin)
install(TARGETS zent_plugin_api EXPORT ZentserverPluginTargets COMPONENT sdk)
install(EXPORT ZentserverPluginTargets NAMESPACE Zentserver::
        DESTINATION ${ZENT_INSTALL_SDK_CMAKEDIR} COMPONENT sdk)
configure_file(${CMAKE_SOURCE_DIR}/packaging/ZentserverPluginConfig.cmake.in
               ${CMAKE_BINARY_DIR}/packaging/ZentserverPluginConfig.cmake @ONLY)
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/packaging/ZentserverPluginConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/packaging/ZentserverPluginConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/ZentserverPluginConfigVersion.cmake
        DESTINATION ${ZENT_INSTALL_SDK_CMAKEDIR} COMPONENT sdk)

install(FILES ${CMAKE_SOURCE_DIR}/examples/plugins/demo_protocol.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentserver COMPONENT sdk)

# The test harness.
set(ZENT_INSTALL_HARNESS_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZentserverHarness)
install(FILES ${CMAKE_SOURCE_DIR}/src/harness/harness.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentserver COMPONENT sdk)
install(TARGETS zent_harness EXPORT ZentserverHarnessTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk NAMELINK_COMPONENT sdk)
install(EXPORT ZentserverHarnessTargets NAMESPACE Zentserver::
        DESTINATION ${ZENT_INSTALL_HARNESS_CMAKEDIR} COMPONENT sdk)
configure_file(${CMAKE_SOURCE_DIR}/packaging/ZentserverHarnessConfig.cmake.in
               ${CMAKE_BINARY_DIR}/packaging/ZentserverHarnessConfig.cmake @ONLY)
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/packaging/ZentserverHarnessConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/ZentserverHarnessConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/ZentserverHarnessConfigVersion.cmake
        DESTINATION ${ZENT_INSTALL_HARNESS_CMAKEDIR} COMPONENT sdk)
zent_install_configured(${CMAKE_SOURCE_DIR}/packaging/zentserver-harness.pc.in
                        ${CMAKE_INSTALL_LIBDIR}/pkgconfig sdk)

install(FILES ${CMAKE_SOURCE_DIR}/docs/plugins.md ${CMAKE_SOURCE_DIR}/docs/testing-plugins.md
              ${CMAKE_SOURCE_DIR}/docs/bridge.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT sdk)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/plugins ${CMAKE_SOURCE_DIR}/examples/out-of-tree
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT sdk)

# The Debian packages (cpack -G DEB in the build directory), everything under /usr: the
# server's (components server and sdk: zentserver) and one for each shipped plugin that says
# how in plugins/<name>/package.cmake (its install rules and its component's package settings).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENT_SERVER_GROUP zentserver)
set(CPACK_COMPONENT_SDK_GROUP zentserver)
set(CPACK_DEBIAN_ZENTSERVER_PACKAGE_NAME zentserver)
set(CPACK_DEBIAN_ZENTSERVER_FILE_NAME DEB-DEFAULT)
file(GLOB ZENT_PLUGIN_PACKAGES ${CMAKE_SOURCE_DIR}/plugins/*/package.cmake)
foreach(package ${ZENT_PLUGIN_PACKAGES})
  include(${package})
endforeach()

set(CPACK_PACKAGE_NAME zentserver)
set(CPACK_PACKAGE_VENDOR "zentserver")
set(CPACK_PACKAGE_CONTACT "zentserver maintainers <maintainers@zentserver.invalid>")
# Each package's description begins with its own summary line (so there is no common
# CPACK_PACKAGE_DESCRIPTION_SUMMARY, which CPack would put in front of every package's).
string(CONCAT CPACK_DEBIAN_ZENTSERVER_DESCRIPTION
       "core process of a networked video-recording server, with its plugin SDK\n"
       "zentserver loads the plugins that do the media work of a video-recording installation\n"
       "and routes their messages. The package holds the service with its systemd unit, the\n"
       "zentserver-inspect tool and the plugin SDK (header, pkg-config file, CMake package).")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install with DESTDIR and the real prefix, so that the files made at install time name /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries the server links, by their Debian packages (dpkg -S on each).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libgcc-s1, libwxbase3.2-1, libdaemon0, libtinyxml2.6.2v5")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
# systemd reads the new or removed unit at once; the operator enables and starts it.
set(CPACK_DEBIAN_ZENTSERVER_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
                                                  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/")
include(CPack)
