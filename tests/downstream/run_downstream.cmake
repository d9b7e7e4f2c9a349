# Configures and builds the downstream project in a scratch directory, then
# runs its onefile executable, which must exit with 42.
#   -DSOURCE_DIR=<repository> -DPROJECT_DIR=<project> -DWORK_DIR=<scratch> -DGENERATOR=<generator>
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${PROJECT_DIR}" -B "${WORK_DIR}" -G "${GENERATOR}"
          "-DTALVOR_SOURCE_DIR=${SOURCE_DIR}" -DCMAKE_BUILD_TYPE=Release
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring the downstream project failed:\n${output}")
endif()
execute_process(
  COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}" --target downstream
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "building the downstream project failed:\n${output}")
endif()
execute_process(
  COMMAND "${WORK_DIR}/downstream" an argument
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 42)
  message(FATAL_ERROR "the onefile executable exited with ${status}, not 42:\n${output}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
