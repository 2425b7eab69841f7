# The reader's resource caps and their command-line overrides: a report
# within the defaults loads, and the same report fails with a message once
# a cap is set below what it needs. -DTOOL=exe -DVALID=file -DWORK=dir.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/rejects.cmake)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

string(REPEAT "x" 200 long)
set(report "${WORK}/long_string.json")
file(WRITE "${report}" "{\"clock_hz\": 1, \"tiles\": [{\"physical_tile\": 0, \"samples\": [{\"start_cycle\": 0, \"end_cycle\": 1, \"step\": {\"phase\": 0, \"operation\": \"${long}\", \"kind\": \"idle\"}}]}]}")
execute_process(COMMAND "${TOOL}" query "${report}" --format json
  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "a 200-byte string is within the default cap: ${err}")
endif()
expect_rejected("${report}" "operation" --max-string 100)

file(SIZE "${VALID}" size)
math(EXPR smaller "${size} - 1")
expect_rejected("${VALID}" "" --max-file-size ${smaller})
expect_rejected("${VALID}" "" --max-depth 3)
