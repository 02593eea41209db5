# Installed programs find the installed libraries without LD_LIBRARY_PATH.
#
# When the library directory is one the linker searches anyway (/usr/lib,
# /usr/lib/<multiarch>: a distribution's package, Debian's prefix /usr), the
# installed files get no RPATH, as distributions require. Any other prefix
# (/usr/local, /opt/orv, $HOME/.local, a test's temporary directory) gets a
# RUNPATH relative to the file itself: $ORIGIN/../lib for the programs,
# $ORIGIN for the libraries (liborv_devices finds the three beside it). Being
# relative, it stays right for cmake --install --prefix DIR and for a moved
# tree. The decision is made for the prefix configured: a build configured for
# /usr and installed elsewhere has none.
#
# Must be included before the targets are created.
include(GNUInstallDirs)

set(_orv_system_libdir FALSE)
foreach(dir IN LISTS CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES CMAKE_C_IMPLICIT_LINK_DIRECTORIES
        CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  if(dir STREQUAL CMAKE_INSTALL_FULL_LIBDIR)
    set(_orv_system_libdir TRUE)
  endif()
endforeach()
# A value given on the command line (-DCMAKE_INSTALL_RPATH=...) stands.
if(NOT _orv_system_libdir AND NOT DEFINED CMAKE_INSTALL_RPATH)
  file(RELATIVE_PATH _orv_lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  # The programs' value; OrvInstall.cmake gives the libraries ORV_LIBRARY_INSTALL_RPATH.
  set(CMAKE_INSTALL_RPATH "$ORIGIN/${_orv_lib_from_bin}")
  set(ORV_LIBRARY_INSTALL_RPATH "$ORIGIN")
endif()
