# Runs a sequence of commands in one scratch folder and checks each one's
# exit status and stdout, for cases that need several steps (generate a
# report, derive a variant, run the tool, check what it wrote).
#
#   -DSTEP_COUNT=n     how many steps
#   -DSTEP_i=EXIT|REGEX|PROGRAM|ARG|...
#                      step i: the expected exit status, a regex stdout must
#                      match ("^" for anything; no "|", ";", "[" or "]",
#                      which would break the list), then
#                      the command line. @TOOL@, @CHECK@, @CMAKE@ and @WORK@
#                      stand for zyl-profile, zyl_profile_check, cmake and
#                      the scratch folder. EXIT may be written
#                      EXIT>FILE to also keep the step's stdout in FILE,
#                      for a later step to compare byte for byte, or
#                      EXIT>>FILE to keep stdout and then stderr (notes
#                      included). A REGEX written stderr:REGEX is matched
#                      against stderr instead of stdout.
#   -DTOOL=path -DCHECK=path -DWORK=dir
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

foreach(i RANGE 1 ${STEP_COUNT})
  set(step "${STEP_${i}}")
  string(REPLACE "@WORK@" "${WORK}" step "${step}")
  string(REPLACE "@TOOL@" "${TOOL}" step "${step}")
  string(REPLACE "@CHECK@" "${CHECK}" step "${step}")
  string(REPLACE "@CMAKE@" "${CMAKE_COMMAND}" step "${step}")
  string(REPLACE "|" ";" items "${step}")
  list(POP_FRONT items expected regex)
  set(keep "")
  set(keep_stderr FALSE)
  if(expected MATCHES "^([0-9]+)>>(.+)$")
    set(expected "${CMAKE_MATCH_1}")
    set(keep "${CMAKE_MATCH_2}")
    set(keep_stderr TRUE)
  elseif(expected MATCHES "^([0-9]+)>(.+)$")
    set(expected "${CMAKE_MATCH_1}")
    set(keep "${CMAKE_MATCH_2}")
  endif()
  set(checked_stream out)
  if(regex MATCHES "^stderr:(.*)$")
    set(regex "${CMAKE_MATCH_1}")
    set(checked_stream err)
  endif()
  execute_process(COMMAND ${items}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(report "step ${i}: ${items}\nexit status ${status}\n--- stdout ---\n"
    "${out}\n--- stderr ---\n${err}")
  if(NOT status STREQUAL "${expected}")
    message(FATAL_ERROR "expected exit status ${expected}\n${report}")
  endif()
  if(NOT ${checked_stream} MATCHES "${regex}")
    message(FATAL_ERROR "std${checked_stream} does not match '${regex}'\n${report}")
  endif()
  if(keep_stderr)
    file(WRITE "${keep}" "${out}--- stderr ---\n${err}")
  elseif(NOT keep STREQUAL "")
    file(WRITE "${keep}" "${out}")
  endif()
endforeach()
