# --timings' peak memory is this program's own: started by exec from a
# process that has touched 256 MiB, a small query must not report that
# parent's peak (which the kernel keeps in ru_maxrss across exec).
# -DTOOL=exe -DREPORT=file.
cmake_minimum_required(VERSION 3.25)
find_program(PYTHON python3)
if(NOT PYTHON)
  message(STATUS "python3 is missing; the large parent is skipped")
  return()
endif()
execute_process(
  COMMAND "${PYTHON}" -c
    "import os, sys; held = b'x' * (256 << 20); os.execv(sys.argv[1], sys.argv[1:])"
    "${TOOL}" query "${REPORT}" --timings --limit 0
  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT err MATCHES "peak memory ([0-9.]+) MiB")
  message(FATAL_ERROR "exit ${status}, no peak memory in: ${err}")
endif()
if(CMAKE_MATCH_1 GREATER 128)
  message(FATAL_ERROR "a small query reports ${CMAKE_MATCH_1} MiB at its "
    "peak: the parent's memory, not its own")
endif()
