# Third-party libraries, all from Debian's packages (scripts/setup installs them):
#   wx::base   the wxWidgets 3.2 base library, through its wx-config script
#   zent::daemon, zent::tinyxml   through pkg-config
#   Threads::Threads

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# The i386 toolchain names its own wx-config; the native build finds the one on PATH.
if(NOT ZENT_WX_CONFIG)
  find_program(ZENT_WX_CONFIG NAMES wx-config REQUIRED)
endif()

function(zent_wx_config out)
  execute_process(COMMAND ${ZENT_WX_CONFIG} ${ARGN}
                  OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ZENT_WX_CONFIG} ${ARGN} failed")
  endif()
  separate_arguments(value UNIX_COMMAND "${value}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

zent_wx_config(wx_cxxflags --cxxflags base)
zent_wx_config(wx_libs --libs base)
zent_wx_config(wx_version --version)

set(wx_includes "")
set(wx_defines "")
set(wx_options "")
foreach(flag IN LISTS wx_cxxflags)
  if(flag MATCHES "^-I(.*)")
    list(APPEND wx_includes ${CMAKE_MATCH_1})
  elseif(flag MATCHES "^-D(.*)")
    list(APPEND wx_defines ${CMAKE_MATCH_1})
  else()
    list(APPEND wx_options ${flag})
  endif()
endforeach()

add_library(wx::base INTERFACE IMPORTED)
# SYSTEM: the library's headers are not held to this project's warning flags.
set_target_properties(wx::base PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wx_includes}"
                                          INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${wx_includes}")
target_compile_definitions(wx::base INTERFACE ${wx_defines})
target_compile_options(wx::base INTERFACE ${wx_options})
target_link_libraries(wx::base INTERFACE ${wx_libs} Threads::Threads)
message(STATUS "wxWidgets ${wx_version} from ${ZENT_WX_CONFIG}")

pkg_check_modules(LIBDAEMON REQUIRED IMPORTED_TARGET libdaemon)
add_library(zent::daemon ALIAS PkgConfig::LIBDAEMON)
pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)
add_library(zent::tinyxml ALIAS PkgConfig::TINYXML)
