# Installation: the shared libraries (the three bus libraries and the device
# library) with their SONAME links, the public headers under include/orv/, one
# pkg-config file per library, a CMake package (find_package(orv) giving
# orv::tapwire, orv::lumo_spi, orv::lumo_iic, orv::devices).
#
# Headers: installed as include/orv/orv_tapwire.h etc. Both
#   #include <orv_tapwire.h>       (pkg-config Cflags -I${includedir}/orv, the
#                                    include/orv directory of the CMake targets)
#   #include <orv/orv_tapwire.h>   (the prefix's include directory)
# work: the headers include "orv_result.h" by quotes, which is found next to
# them either way.
#
# libusb: the public headers include <libusb.h> and the caller passes a
# libusb_device_handle, so a consumer needs libusb's include directory. The
# pkg-config files list libusb-1.0 under Requires.private: pkg-config and
# pkgconf take the Cflags of private requirements into --cflags, while --libs
# does not add -lusb-1.0 (the library links it itself; a program that opens the
# adapter asks for libusb-1.0 in its own right). The CMake targets carry libusb
# as an interface dependency found through pkg-config inside orvConfig.cmake.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/orv CACHE STRING
    "Where orvConfig.cmake is installed, relative to the prefix")
mark_as_advanced(ORV_INSTALL_CMAKEDIR)

# The shipped libraries, as each recorded itself (orv_ship_library).
get_property(_orv_libraries GLOBAL PROPERTY ORV_SHIPPED_LIBRARIES)
foreach(lib IN LISTS _orv_libraries)
  string(REGEX REPLACE "^orv_" "" short ${lib})
  set_target_properties(${lib} PROPERTIES EXPORT_NAME ${short})
  add_library(orv::${short} ALIAS ${lib})
endforeach()

# liborv_devices finds the three libraries beside it (cmake/OrvRpath.cmake).
if(DEFINED ORV_LIBRARY_INSTALL_RPATH)
  set_target_properties(${_orv_libraries} PROPERTIES INSTALL_RPATH "${ORV_LIBRARY_INSTALL_RPATH}")
endif()

install(TARGETS ${_orv_libraries}
  EXPORT orvTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orv COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orv ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT orvTargets
  NAMESPACE orv::
  FILE orvTargets.cmake
  DESTINATION ${ORV_INSTALL_CMAKEDIR}
  COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/orvConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/orvConfig.cmake
  INSTALL_DESTINATION ${ORV_INSTALL_CMAKEDIR})
# Same major version: the SONAME changes with it.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/orvConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/orvConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/orvConfigVersion.cmake
  DESTINATION ${ORV_INSTALL_CMAKEDIR}
  COMPONENT development)

# pkg-config files. They are written at install time, so that prefix= is the
# prefix actually installed to (cmake --install --prefix DIR); libdir and
# includedir are relative to ${prefix} unless the install dirs are absolute.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ORV_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ORV_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(_orv_pc_description_tapwire "JTAG through the ORV USB bridge adapter")
set(_orv_pc_description_lumo_spi "SPI master through the ORV USB bridge adapter")
set(_orv_pc_description_lumo_iic "I2C master through the ORV USB bridge adapter")
set(_orv_pc_description_devices "SPI NOR flash, JTAG chains and I2C devices through the ORV USB bridge adapter")
foreach(lib IN LISTS _orv_libraries)
  string(REGEX REPLACE "^orv_" "" short ${lib})
  set(ORV_PC_NAME ${lib})
  set(ORV_PC_DESCRIPTION "${_orv_pc_description_${short}}")
  set(ORV_PC_PREFIX "@ORV_PC_PREFIX@") # left for the install step
  configure_file(${CMAKE_CURRENT_LIST_DIR}/orv_library.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${lib}.pc.in @ONLY)
  install(CODE "
    set(ORV_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/${lib}.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/pc-install/${lib}.pc\" @ONLY)
    " COMPONENT development)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pc-install/${lib}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
endforeach()

# orvtool and its manual page are installed by front/orvtool/CMakeLists.txt
# (bin/orvtool, share/man/man1/orvtool.1); the packaging.consumer test checks
# that an install of the build tree has both and that the installed tool runs.
