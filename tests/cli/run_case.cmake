# Runs zyl-profile once and checks its exit status, stdout and stderr; CTest's
# own PASS_REGULAR_EXPRESSION would ignore the exit status.
#
#   -DTOOL=path        the executable
#   -DARGS=a|b|c       its arguments; "<empty>" stands for one empty argument
#                      and "@WORK@" for a scratch folder of this case
#   -DEXIT=n           expected exit status
#   -DGOLDEN=file      stdout must equal this file exactly
#   -DSTDOUT=regex     stdout must match
#   -DSTDERR=regex     stderr must match (without it, stderr must be empty
#                      when the expected status is 0)
#   -DPRE=a|b          a command run first that must succeed (e.g. generate)
#   -DPIPE_TO_HEAD=1   stdout goes into `head -c 1`, which closes it early
#   -DWORK=dir         the scratch folder, emptied first
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# Splits a "|" list into `before`, whether there is an empty argument, and
# `after` (one empty argument at most, which is all the cases need).
function(split_args text prefix)
  string(REPLACE "@WORK@" "${WORK}" text "${text}")
  string(REPLACE "|" ";" items "${text}")
  set(before "")
  set(after "")
  set(seen_empty FALSE)
  foreach(item IN LISTS items)
    if(item STREQUAL "<empty>")
      set(seen_empty TRUE)
    elseif(seen_empty)
      list(APPEND after "${item}")
    else()
      list(APPEND before "${item}")
    endif()
  endforeach()
  set(${prefix}_before "${before}" PARENT_SCOPE)
  set(${prefix}_after "${after}" PARENT_SCOPE)
  set(${prefix}_empty ${seen_empty} PARENT_SCOPE)
endfunction()

if(DEFINED PRE AND NOT PRE STREQUAL "")
  split_args("${PRE}" pre)
  execute_process(COMMAND "${TOOL}" ${pre_before}
    RESULT_VARIABLE pre_status OUTPUT_VARIABLE pre_out ERROR_VARIABLE pre_err)
  if(NOT pre_status EQUAL 0)
    message(FATAL_ERROR "setup command failed (${pre_status}): ${pre_err}")
  endif()
endif()

split_args("${ARGS}" main)
if(PIPE_TO_HEAD)
  execute_process(COMMAND "${TOOL}" ${main_before} COMMAND head -c 1
    RESULTS_VARIABLE statuses OUTPUT_VARIABLE out ERROR_VARIABLE err)
  list(GET statuses 0 status)
elseif(main_empty)
  execute_process(COMMAND "${TOOL}" ${main_before} "" ${main_after}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
else()
  execute_process(COMMAND "${TOOL}" ${main_before}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()

set(report "exit status ${status}\n--- stdout ---\n${out}\n--- stderr ---\n${err}")
if(NOT status STREQUAL "${EXIT}")
  message(FATAL_ERROR "expected exit status ${EXIT}\n${report}")
endif()
if(NOT EXIT EQUAL 0 AND NOT out STREQUAL "")
  message(FATAL_ERROR "stdout must be empty on failure\n${report}")
endif()
if(EXIT EQUAL 2 AND NOT err MATCHES "Run with --help for more information\\.\n$")
  message(FATAL_ERROR "a usage error needs the --help hint\n${report}")
endif()
if(DEFINED GOLDEN AND NOT GOLDEN STREQUAL "")
  file(READ "${GOLDEN}" expected)
  if(NOT out STREQUAL expected)
    file(WRITE "${WORK}/actual.out" "${out}")
    message(FATAL_ERROR "stdout differs from ${GOLDEN} "
      "(actual in ${WORK}/actual.out)\n${report}")
  endif()
endif()
if(DEFINED STDOUT AND NOT STDOUT STREQUAL "" AND NOT out MATCHES "${STDOUT}")
  message(FATAL_ERROR "stdout does not match '${STDOUT}'\n${report}")
endif()
if(DEFINED STDERR AND NOT STDERR STREQUAL "")
  if(NOT err MATCHES "${STDERR}")
    message(FATAL_ERROR "stderr does not match '${STDERR}'\n${report}")
  endif()
elseif(EXIT EQUAL 0 AND NOT err STREQUAL "")
  message(FATAL_ERROR "stderr must be empty\n${report}")
endif()
