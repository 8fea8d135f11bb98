# Installation and the Debian packages. Every install rule names its component, and each component
# becomes one Debian package: runtime is the shared libraries, dev the headers, the CMake package, the
# pkg-config file and the .so link, tool the opsira command with its samples and man page, python
# the Python package, whose directory (added before this file is included) sets in the parent
# scope only the dependencies that follow from the interpreter it was built for. Configure with -DCMAKE_INSTALL_PREFIX=/usr to build the packages, so that the library
# lands in the multiarch directory (scripts/package.sh does it all).
include(CMakePackageConfigHelpers)
find_program(TULO_GZIP gzip REQUIRED)

# tulo_gzip(SOURCE OUTPUT): OUTPUT made with the build, compressed as Debian wants it: at the best
# level, without the name and time of the source.
function(tulo_gzip source output)
  string(REGEX REPLACE "[.]gz$" "" copy ${output})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${TULO_GZIP} -9nf ${copy}
    DEPENDS ${source} VERBATIM)
  get_filename_component(name ${output} NAME)
  add_custom_target(tulo_gzip_${name} ALL DEPENDS ${output})
endfunction()

set(TULO_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tulo)

install(TARGETS tuloopsira tulopipeline EXPORT tuloTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(DIRECTORY include/tulo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT tuloTargets NAMESPACE tulo:: DESTINATION ${TULO_CMAKE_INSTALL_DIR} COMPONENT dev)
configure_package_config_file(cmake/tuloConfig.cmake.in ${PROJECT_BINARY_DIR}/tuloConfig.cmake
  INSTALL_DESTINATION ${TULO_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tuloConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tuloConfig.cmake ${PROJECT_BINARY_DIR}/tuloConfigVersion.cmake
  DESTINATION ${TULO_CMAKE_INSTALL_DIR} COMPONENT dev)

# The .pc file names OpenCV's libraries itself: OpenCV's own opencv4.pc is not always installed.
# Its prefix is found from its own place, so an install into any prefix works unchanged.
file(RELATIVE_PATH TULO_PC_PREFIX_FROM_PCDIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TULO_PC_PREFIX_FROM_PCDIR "${TULO_PC_PREFIX_FROM_PCDIR}")
list(TRANSFORM OpenCV_INCLUDE_DIRS PREPEND -I OUTPUT_VARIABLE TULO_PC_OPENCV_CFLAGS)
list(JOIN TULO_PC_OPENCV_CFLAGS " " TULO_PC_OPENCV_CFLAGS)
get_target_property(TULO_OPENCV_CORE_FILE opencv_core LOCATION)
get_filename_component(TULO_OPENCV_LIB_DIR ${TULO_OPENCV_CORE_FILE} DIRECTORY)
set(TULO_PC_OPENCV_LIBS "-lopencv_imgcodecs -lopencv_imgproc -lopencv_core")
if(NOT TULO_OPENCV_LIB_DIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set(TULO_PC_OPENCV_LIBS "-L${TULO_OPENCV_LIB_DIR} ${TULO_PC_OPENCV_LIBS}")
endif()
configure_file(cmake/tuloopsira.pc.in ${PROJECT_BINARY_DIR}/tuloopsira.pc @ONLY)
configure_file(cmake/tulopipeline.pc.in ${PROJECT_BINARY_DIR}/tulopipeline.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tuloopsira.pc ${PROJECT_BINARY_DIR}/tulopipeline.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

if(TARGET opsira)
  install(TARGETS opsira RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES data/page.png data/shapes.png DESTINATION ${CMAKE_INSTALL_DATADIR}/tulo/samples COMPONENT tool)
  tulo_gzip(${PROJECT_SOURCE_DIR}/tools/opsira.1 ${PROJECT_BINARY_DIR}/opsira.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/opsira.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
endif()

# ---- Debian packages ----------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_VENDOR tulo)
set(CPACK_PACKAGE_CONTACT "tulo maintainers <maintainers@tulo.dev>")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool's own library is found in the build tree; its package is named by DEPENDS instead.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)

# tulo_deb_package(COMPONENT PACKAGE SECTION SUMMARY DESCRIPTION [DEPENDS component...]):
# the Debian package of one install component; DEPENDS names components it needs at their
# exact version.
function(tulo_deb_package component package section summary description)
  cmake_parse_arguments(PARSE_ARGV 5 arg "" "" DEPENDS)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${upper}_DEPENDS ${arg_DEPENDS} PARENT_SCOPE)
endfunction()

# Descriptions are wrapped by hand: CPack keeps the lines as they are given.
set(TULO_DEB_ABOUT "tulo derives a catalogue of processed images from one image on demand:\n\
greyscale, blurs, thresholds, edges, contours, Hough lines, a de-skewed copy,\n\
a mosaic and more; it also offers the image operations and value statistics\n\
it is built on.")

tulo_deb_package(runtime libtuloopsira1 libs "image-analysis workspace on OpenCV - shared libraries"
  "${TULO_DEB_ABOUT}\n\nThis package holds the shared libraries: the workspace and its operations,\n\
and the page pipeline that the tool and the Python package run, with the pages\n\
of multi-page TIFF and PDF files (through libtiff, qpdf and poppler).")
# ldconfig runs once per dpkg run, through its trigger, instead of from maintainer scripts.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
tulo_deb_package(dev libtulo-dev libdevel "image-analysis workspace on OpenCV - development files"
  "${TULO_DEB_ABOUT}\n\nThis package holds the headers, the CMake package (tulo::tuloopsira,\n\
tulo::tulopipeline) and the pkg-config files (tuloopsira, tulopipeline)."
  DEPENDS runtime)
# The headers include OpenCV's, so building against the library needs OpenCV's headers too.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS libopencv-dev)
if(TARGET _tulo)
  tulo_deb_package(python python3-tulo python "image-analysis workspace on OpenCV - Python 3 package"
    "${TULO_DEB_ABOUT}\n\nThis package holds the Python 3 package tulo, the library on NumPy arrays,\n\
and tulo.distributed, which runs the catalogue of many files on a Dask cluster."
    DEPENDS runtime)
endif()
if(TARGET opsira)
  tulo_deb_package(tool opsira graphics "derive the tulo image catalogue of image files"
    "${TULO_DEB_ABOUT}\n\nThis package holds opsira, the command-line tool that writes the\n\
catalogue of many image files at once, with two sample images."
    DEPENDS runtime)
endif()

# Each package carries the copyright file and the Debian changelog, as Debian policy asks.
tulo_gzip(${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
get_cmake_property(TULO_COMPONENTS COMPONENTS)
foreach(component IN LISTS TULO_COMPONENTS)
  string(TOUPPER ${component} upper)
  if(NOT CPACK_DEBIAN_${upper}_PACKAGE_NAME)
    message(FATAL_ERROR "install component ${component} has no Debian package name")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME} COMPONENT ${component})
endforeach()

include(CPack)
