# expect_rejected(REPORT FRAGMENT [OPTION...]): runs `zyl-profile query
# REPORT OPTION...` and fails the test unless it exits 1 with a message on
# stderr that names the file (and contains FRAGMENT unless that is empty) and
# writes nothing to stdout. Needs TOOL set to the executable.
function(expect_rejected report fragment)
  execute_process(COMMAND "${TOOL}" query "${report}" --format json ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(what "query ${report}: exit ${status}\n--- stdout ---\n${out}\n--- stderr ---\n${err}")
  if(NOT status STREQUAL "1")
    message(FATAL_ERROR "expected exit status 1\n${what}")
  endif()
  if(NOT out STREQUAL "")
    message(FATAL_ERROR "stdout must stay empty\n${what}")
  endif()
  get_filename_component(name "${report}" NAME)
  string(FIND "${err}" "${name}" named)
  if(named EQUAL -1)
    message(FATAL_ERROR "the message must name the file\n${what}")
  endif()
  if(NOT fragment STREQUAL "")
    string(FIND "${err}" "${fragment}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "the message must mention '${fragment}'\n${what}")
    endif()
  endif()
endfunction()
