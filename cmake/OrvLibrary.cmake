# orv_add_library(NAME <short> SOURCES ... HEADER <public header> VERSION_SCRIPT <file>)
#
# Each driver library is built twice from one object library:
#   <short>_obj   the library code, linked by the unit tests together with a
#                 stand-in for libusb_bulk_transfer;
#   orv_<short>   the shipped shared library, linked against libusb-1.0, with
#                 a SONAME and a linker version script listing its exports.
function(orv_add_library)
  cmake_parse_arguments(ARG "" "NAME;OUTPUT;VERSION_SCRIPT" "SOURCES;PUBLIC_HEADERS" ${ARGN})
  set(obj ${ARG_NAME}_obj)
  add_library(${obj} OBJECT ${ARG_SOURCES})
  target_include_directories(${obj} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib/include>)
  target_link_libraries(${obj} PUBLIC orv_wire orv_libusb_headers)
  target_compile_definitions(${obj} PRIVATE ORV_BUILDING_LIBRARY)
  target_compile_options(${obj} PRIVATE -fno-exceptions)

  add_library(${ARG_OUTPUT} SHARED $<TARGET_OBJECTS:${obj}>)
  target_link_libraries(${ARG_OUTPUT} PRIVATE orv_wire PUBLIC PkgConfig::LIBUSB)
  target_include_directories(${ARG_OUTPUT} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/lib/include>)
  set_target_properties(${ARG_OUTPUT} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    PUBLIC_HEADER "${ARG_PUBLIC_HEADERS}")
  orv_ship_library(${ARG_OUTPUT} "${ARG_VERSION_SCRIPT}")
  if(ARG_VERSION_SCRIPT)
    target_link_options(${ARG_OUTPUT} PRIVATE
      "LINKER:--version-script=${ARG_VERSION_SCRIPT}" "LINKER:--no-undefined")
    set_property(TARGET ${ARG_OUTPUT} APPEND PROPERTY LINK_DEPENDS ${ARG_VERSION_SCRIPT})
  endif()
endfunction()

# orv_ship_library(<target> <version script>)
#
# Records a shipped shared library with the linker version script that lists
# its exports: it is installed with its pkg-config file and in the CMake
# package (OrvInstall.cmake), the API reference (docs/) documents every name
# of the script, and the version check reads the library's file name.
function(orv_ship_library target version_script)
  set_property(GLOBAL APPEND PROPERTY ORV_SHIPPED_LIBRARIES ${target})
  # In the build tree the shipped libraries sit together in lib/ (and the
  # programs in bin/), as they do installed: ORV_LIBRARY_PATH=build/lib.
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
  set_target_properties(${target} PROPERTIES ORV_VERSION_SCRIPT "${version_script}")
endfunction()
