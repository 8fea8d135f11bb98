# Installs the build tree into a temporary prefix and builds tests/consumer against it, once with
# find_package and once with pkg-config, then runs both consumers (and the installed tool).
# Variables: BUILD_DIR CONSUMER_DIR WORK_DIR LIBDIR CXX PKG_CONFIG WITH_TOOL.

include(${CMAKE_CURRENT_LIST_DIR}/run_step.cmake)

function(expect_file path)
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(file include/tulo/Opsira.hpp include/tulo/tulo.hpp ${LIBDIR}/libtuloopsira.so.1 ${LIBDIR}/libtulopipeline.so.1
             ${LIBDIR}/cmake/tulo/tuloConfig.cmake ${LIBDIR}/cmake/tulo/tuloConfigVersion.cmake
             ${LIBDIR}/pkgconfig/tuloopsira.pc)
  expect_file(${prefix}/${file})
endforeach()
# The development link and the SONAME link point to the versioned file.
foreach(link libtuloopsira.so libtuloopsira.so.1 libtulopipeline.so libtulopipeline.so.1)
  if(NOT IS_SYMLINK ${prefix}/${LIBDIR}/${link})
    message(FATAL_ERROR "${link} is not a symbolic link")
  endif()
endforeach()

run_step("configure with find_package" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix})
run_step("build with find_package" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run_step("run the find_package consumer" ${WORK_DIR}/cmake-build/tulo_consumer)

run_step("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
  ${PKG_CONFIG} --cflags --libs tulopipeline)
separate_arguments(flags UNIX_COMMAND "${step_output}")
run_step("build with pkg-config" ${CXX} -std=c++17 ${CONSUMER_DIR}/main.cpp ${flags}
  -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/pkg-config-consumer)
run_step("run the pkg-config consumer" ${WORK_DIR}/pkg-config-consumer)

if(WITH_TOOL)
  # The installed tool finds its library and, without inputs, its installed samples.
  run_step("installed tool" ${prefix}/bin/opsira -q -k original -o ${WORK_DIR}/out)
  expect_file(${WORK_DIR}/out/page/01_original.jpg)
  expect_file(${WORK_DIR}/out/shapes/01_original.jpg)
endif()
