# How camera_rtsp and recorder_segments are installed, and their Debian package
# zentserver-media: read by cmake/ZentInstall.cmake (where the install layout is known) before it
# includes CPack. Installed into the server's plugins directory, with their commented
# cameras.conf as a Debian conffile in /etc/zentserver (or <prefix>/etc/zentserver for an install
# elsewhere than /usr), where the plugins look for it. A 32-bit build without FFmpeg's i386
# development files has neither plugin, and no such package.
if(NOT TARGET camera_rtsp OR NOT TARGET recorder_segments)
  return()
endif()
install(TARGETS camera_rtsp recorder_segments LIBRARY DESTINATION ${ZENT_INSTALL_APPDIR}/plugins
        COMPONENT media)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(zent_conf_dir \"/etc/zentserver\")
  else()
    set(zent_conf_dir \"\${CMAKE_INSTALL_PREFIX}/etc/zentserver\")
  endif()
  file(INSTALL \"${CMAKE_CURRENT_LIST_DIR}/cameras.conf\" DESTINATION \"\${zent_conf_dir}\"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
" COMPONENT media)

set(CPACK_DEBIAN_MEDIA_PACKAGE_NAME zentserver-media)
set(CPACK_DEBIAN_MEDIA_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_MEDIA_PACKAGE_SECTION video)
string(CONCAT CPACK_DEBIAN_MEDIA_DESCRIPTION
       "RTSP cameras and MP4 segment recordings for zentserver\n"
       "The plugins camera_rtsp (networked cameras over RTSP, read with FFmpeg) and\n"
       "recorder_segments (the compressed streams into fragmented MP4 segments, with\n"
       "retention by size and age). No camera is recorded until\n"
       "/etc/zentserver/cameras.conf names one.")
# FFmpeg's run-time libraries by their Debian packages (dpkg -S on what the plugins link).
set(CPACK_DEBIAN_MEDIA_PACKAGE_DEPENDS
    "zentserver (= ${PROJECT_VERSION}), libavformat59, libavcodec59, libavutil57, libc6, libstdc++6, libgcc-s1")
# The settings file is the operator's: upgrades keep their changes.
set(CPACK_DEBIAN_MEDIA_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
