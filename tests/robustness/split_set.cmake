# `split` writes its shards as a set: when a shard fails, none of the new set
# is put in place, so an older set in the folder stays byte for byte and no
# temporary is left. The failure is a folder where the last shard goes
# and, where root may mount, a disk that fills up part way through.
# -DTOOL=exe -DWORK=dir.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run_tool prefix)
  execute_process(COMMAND "${TOOL}" ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${prefix}_status "${status}" PARENT_SCOPE)
  set(${prefix}_out "${out}" PARENT_SCOPE)
  set(${prefix}_err "${err}" PARENT_SCOPE)
endfunction()

function(expect_ok run what)
  if(NOT "${${run}_status}" STREQUAL "0")
    message(FATAL_ERROR "${what}: exit ${${run}_status}: ${${run}_err}")
  endif()
endfunction()

# The folder's entries, hidden ones (temporaries) included, with each
# file's hash: "name=hash;..." to compare before and after.
function(folder_state folder out_var)
  file(GLOB entries RELATIVE "${folder}" "${folder}/*" "${folder}/.*")
  list(SORT entries)
  set(state "")
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${folder}/${entry}")
      list(APPEND state "${entry}/")
    else()
      file(SHA256 "${folder}/${entry}" hash)
      list(APPEND state "${entry}=${hash}")
    endif()
  endforeach()
  set(${out_var} "${state}" PARENT_SCOPE)
endfunction()

# Checks that the second split failed as a failed write must (exit 1, a
# message, nothing on stdout) and left the folder as `before`.
function(expect_old_set run after before what)
  set(details "exit ${${run}_status}\n--- stdout ---\n${${run}_out}\n--- stderr ---\n${${run}_err}")
  if(NOT "${${run}_status}" STREQUAL "1" OR "${${run}_err}" STREQUAL ""
     OR NOT "${${run}_out}" STREQUAL "")
    message(FATAL_ERROR "${what}: the split must fail with a message\n${details}")
  endif()
  if(NOT "${after}" STREQUAL "${before}")
    message(FATAL_ERROR "${what}: the older set was changed\n"
      "before: ${before}\nafter:  ${after}\n${details}")
  endif()
endfunction()

set(whole "${WORK}/whole.zpk")
run_tool(generate generate -o "${whole}" --tiles 16 --samples-per-tile 2500
  --seed 3)
expect_ok(generate "generating the report")

# A folder in the place of the 4-shard split's last file.
set(set "${WORK}/set")
run_tool(old split "${whole}" -o "${set}/part" --shards 3)
expect_ok(old "the older set")
file(MAKE_DIRECTORY "${set}/part-3.zpk")
folder_state("${set}" before)
run_tool(new split "${whole}" -o "${set}/part" --shards 4)
folder_state("${set}" after)
expect_old_set(new "${after}" "${before}" "a folder as the last shard")

# A small tmpfs that holds the older set (1.4 MB) but not a second one
# beside it, so a shard's write runs out of room part way through.
find_program(MOUNT mount)
find_program(UMOUNT umount)
set(small "${WORK}/small")
file(MAKE_DIRECTORY "${small}")
if(MOUNT AND UMOUNT)
  execute_process(COMMAND "${MOUNT}" -t tmpfs -o size=2m tmpfs "${small}"
    RESULT_VARIABLE mount_status OUTPUT_QUIET ERROR_QUIET)
else()
  set(mount_status 1)
endif()
if(NOT mount_status EQUAL 0)
  message(STATUS "mount is not permitted here; the full disk is skipped")
  return()
endif()
# Every check waits until the folder is unmounted, so a failure never
# leaves a mount behind.
run_tool(old_small split "${whole}" -o "${small}/part" --shards 3)
folder_state("${small}" before_small)
run_tool(new_small split "${whole}" -o "${small}/part" --shards 4)
folder_state("${small}" after_small)
execute_process(COMMAND "${UMOUNT}" "${small}")
expect_ok(old_small "the older set on the small disk")
expect_old_set(new_small "${after_small}" "${before_small}"
  "a disk that fills up")
if(NOT "${new_small_err}" MATCHES "No space left on device")
  message(FATAL_ERROR "the full disk must be named: ${new_small_err}")
endif()
