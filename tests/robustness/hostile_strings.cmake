# Control characters, terminal escape sequences, C1 controls and bidi
# overrides in kernel, operation and metadata names must reach the table
# escaped (never raw), and the JSON output must stay valid and carry the
# exact strings. -DTOOL=exe -DREPORT=file -DWORK=dir.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# Fails when the output holds a raw control byte other than the line feed,
# or the UTF-8 of U+009B, U+0085, U+202E, U+2066 or U+2069.
function(expect_no_raw_controls file what)
  file(READ "${file}" hex HEX)
  string(REGEX MATCHALL "[0-9a-f][0-9a-f]" bytes "${hex}")
  foreach(byte IN LISTS bytes)
    if(byte MATCHES "^(0[0-9b-f]|1[0-9a-f]|7f)$")
      file(READ "${file}" text)
      message(FATAL_ERROR "${what}: raw control byte 0x${byte} in\n${text}")
    endif()
  endforeach()
  foreach(sequence c29b c285 e280ae e281a6 e281a9)
    string(FIND "${hex}" "${sequence}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${what}: raw UTF-8 ${sequence} in the output")
    endif()
  endforeach()
endfunction()

set(runs
  "kernel|--group-by|kernel|--sample-limit|2"
  "operation|--group-by|operation"
  "metadata|--group-by|metadata|--metadata-key|bl@ESC@ock"
  "samples|--sample-limit|5|--kind|compute")
string(ASCII 27 esc)
foreach(run IN LISTS runs)
  string(REPLACE "|" ";" args "${run}")
  list(POP_FRONT args name)
  # The metadata key holds an escape character as the report does.
  list(TRANSFORM args REPLACE "@ESC@" "${esc}")
  execute_process(COMMAND "${TOOL}" query "${REPORT}" ${args}
    RESULT_VARIABLE status OUTPUT_FILE "${WORK}/${name}.txt"
    ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "table ${name}: exit ${status}: ${err}")
  endif()
  file(SIZE "${WORK}/${name}.txt" size)
  if(size EQUAL 0)
    message(FATAL_ERROR "table ${name}: no output")
  endif()
  expect_no_raw_controls("${WORK}/${name}.txt" "table ${name}")
endforeach()

# Escaped, not dropped: the table still shows where the escape was.
file(READ "${WORK}/kernel.txt" kernel_table)
string(FIND "${kernel_table}" "\\x1b[2J" shown)
if(shown EQUAL -1)
  message(FATAL_ERROR "the table must show the escape as \\x1b\n${kernel_table}")
endif()

# JSON keeps every string exactly, escapes and all.
execute_process(COMMAND "${TOOL}" query "${REPORT}" --group-by kernel
    --sort-by name --format json
  RESULT_VARIABLE status OUTPUT_VARIABLE json ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "json: exit ${status}: ${err}")
endif()
string(JSON first ERROR_VARIABLE parse_error GET "${json}" groups 0 name)
if(parse_error)
  message(FATAL_ERROR "json output does not parse: ${parse_error}\n${json}")
endif()
string(ASCII 127 del)
string(ASCII 194 155 csi)  # U+009B in UTF-8
if(NOT first STREQUAL "k${esc}[2J${esc}[31m${del}${csi}1m")
  message(FATAL_ERROR "json kernel name changed: '${first}'\n${json}")
endif()
