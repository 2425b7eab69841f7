# Output files are replaced atomically: a write that fails half way (here a
# file-size limit standing in for a full disk) must exit non-zero with a
# message, leave no partial or temporary file and keep the earlier file
# byte for byte; a device node stays a node and a link a link.
# -DTOOL=exe -DWORK=dir.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

find_program(SH sh REQUIRED)
# Runs the tool with writes capped at about 4 KiB; SIGXFSZ is ignored (and
# stays ignored across exec) so an oversized write fails with EFBIG instead
# of killing the process.
function(generate_limited out_var)
  execute_process(
    COMMAND "${SH}" -c "ulimit -f 4 && trap '' XFSZ && exec \"$0\" \"$@\""
      "${TOOL}" generate ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${out_var}_status "${status}" PARENT_SCOPE)
  set(${out_var}_out "${out}" PARENT_SCOPE)
  set(${out_var}_err "${err}" PARENT_SCOPE)
endfunction()

function(expect_failed run what)
  set(details "exit ${${run}_status}\n--- stdout ---\n${${run}_out}\n--- stderr ---\n${${run}_err}")
  if("${${run}_status}" STREQUAL "0")
    message(FATAL_ERROR "${what}: a failed write must not exit 0\n${details}")
  endif()
  if("${${run}_err}" STREQUAL "")
    message(FATAL_ERROR "${what}: a failed write needs a message\n${details}")
  endif()
  if(NOT "${${run}_out}" STREQUAL "")
    message(FATAL_ERROR "${what}: stdout must stay empty\n${details}")
  endif()
endfunction()

function(expect_folder_holds)
  file(GLOB entries RELATIVE "${WORK}" "${WORK}/*" "${WORK}/.*")
  list(SORT entries)
  set(wanted ${ARGN})
  list(SORT wanted)
  if(NOT "${entries}" STREQUAL "${wanted}")
    message(FATAL_ERROR "folder holds '${entries}', expected '${wanted}'")
  endif()
endfunction()

set(report "${WORK}/report.json")
execute_process(COMMAND "${TOOL}" generate -o "${report}" --tiles 1
    --samples-per-tile 2 --seed 1
  RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the small report must be written: ${err}")
endif()
file(SIZE "${report}" small_size)
if(small_size GREATER 4000)
  message(FATAL_ERROR "the earlier report (${small_size} bytes) must fit the cap")
endif()
file(SHA256 "${report}" before)

# Replacing an existing report.
generate_limited(replace -o "${report}" --tiles 16 --samples-per-tile 50
  --seed 2)
expect_failed(replace "replacing a report")
file(SHA256 "${report}" after)
if(NOT before STREQUAL after)
  message(FATAL_ERROR "the earlier report was changed by a failed write")
endif()
expect_folder_holds(report.json)

# Writing a new file.
generate_limited(fresh -o "${WORK}/fresh.json" --tiles 16
  --samples-per-tile 50 --seed 2)
expect_failed(fresh "writing a new report")
expect_folder_holds(report.json)

# A folder that does not exist.
execute_process(COMMAND "${TOOL}" generate -o "${WORK}/missing/report.json"
    --tiles 1 --samples-per-tile 1
  RESULT_VARIABLE missing_status OUTPUT_VARIABLE missing_out
  ERROR_VARIABLE missing_err)
expect_failed(missing "writing into a missing folder")
expect_folder_holds(report.json)

# Targets that are not regular files. A device node is written in place:
# a rename over it would leave a regular file where it was (as root, over
# /dev/null for the whole machine). A link leads to the file replaced, and
# stays a link.
find_program(STAT stat REQUIRED)
set(nodes "${WORK}/nodes")
file(MAKE_DIRECTORY "${nodes}")
function(file_type path out_var)
  execute_process(COMMAND "${STAT}" -c %F "${path}"
    OUTPUT_VARIABLE type OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out_var} "${type}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND mknod "${nodes}/null" c 1 3
  RESULT_VARIABLE mknod_status ERROR_QUIET)
if(mknod_status EQUAL 0)
  execute_process(COMMAND "${TOOL}" export "${report}" -o "${nodes}/null"
    RESULT_VARIABLE status ERROR_VARIABLE err)
  file_type("${nodes}/null" type)
  if(NOT status EQUAL 0 OR NOT type STREQUAL "character special file")
    message(FATAL_ERROR
      "export to a device node: exit ${status}, now a '${type}': ${err}")
  endif()
else()
  message(STATUS "mknod is not permitted here; the device node is skipped")
endif()

file(WRITE "${nodes}/real.csv" "earlier")
file(CREATE_LINK "real.csv" "${nodes}/link.csv" SYMBOLIC)
execute_process(COMMAND "${TOOL}" export "${report}" -o "${nodes}/link.csv"
  RESULT_VARIABLE status ERROR_VARIABLE err)
file(READ "${nodes}/real.csv" exported)
if(NOT status EQUAL 0 OR NOT IS_SYMLINK "${nodes}/link.csv"
   OR exported STREQUAL "earlier")
  message(FATAL_ERROR "export through a link: exit ${status}, the link must "
    "stay and its file get the rows: ${err}")
endif()
