# Configures tests/consumer/parent, which includes tulo with add_subdirectory, without a build type;
# checks that the parent's build type, package name and compile options are its own and that tulo
# installs nothing there; then builds and runs the parent's program.
# Variables: TULO_SOURCE_DIR PARENT_DIR WORK_DIR CXX LAUNCHER.

include(${CMAKE_CURRENT_LIST_DIR}/run_step.cmake)

set(build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})
set(launcher)
if(LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
run_step("configure the parent" ${CMAKE_COMMAND} -S ${PARENT_DIR} -B ${build} -DCMAKE_CXX_COMPILER=${CXX}
  -DTULO_SOURCE_DIR=${TULO_SOURCE_DIR} -DCMAKE_EXPORT_COMPILE_COMMANDS=ON ${launcher})

file(STRINGS ${build}/CMakeCache.txt build_type REGEX "^CMAKE_BUILD_TYPE:")
if(NOT build_type MATCHES "=$")
  message(FATAL_ERROR "the parent's build type became: ${build_type}")
endif()
file(STRINGS ${build}/CPackConfig.cmake package_name REGEX "^set\\(CPACK_PACKAGE_NAME ")
if(NOT package_name MATCHES "\"tulo-parent\"")
  message(FATAL_ERROR "the parent's package name became: ${package_name}")
endif()
# tulo's warning options on its own sources only.
file(READ ${build}/compile_commands.json commands)
string(REGEX MATCH "\"command\": \"[^\"]*consumer/main.cpp\"" parent_command "${commands}")
string(REGEX MATCH "\"command\": \"[^\"]*src/Opsira.cpp\"" tulo_command "${commands}")
if(NOT parent_command OR parent_command MATCHES "-Wall" OR NOT tulo_command MATCHES "-Wall")
  message(FATAL_ERROR "warning options leaked or missing:\n${parent_command}\n${tulo_command}")
endif()

run_step("build the parent" ${CMAKE_COMMAND} --build ${build})
run_step("run the parent's program" ${build}/tulo_parent)
run_step("install the parent" ${CMAKE_COMMAND} --install ${build} --prefix ${WORK_DIR}/prefix)
file(GLOB_RECURSE installed ${WORK_DIR}/prefix/*)
if(installed)
  message(FATAL_ERROR "tulo installed files into the parent's prefix: ${installed}")
endif()
