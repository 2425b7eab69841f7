# Reports given as named pipes, each of which can be read only once, answer
# as the same reports given as files: several with --concatenate and a
# window as a share of the span (the span takes one pass, the query
# another), an empty answer (its notes take a second pass), a trace (two
# passes), an export and a comparison.
#
#   -DTOOL=path -DWORK=dir
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run_or_fail out_var err_var)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nexit status ${status}\n--- stdout ---\n"
      "${out}\n--- stderr ---\n${err}")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
  set(${err_var} "${err}" PARENT_SCOPE)
endfunction()

# A JSON report and a package, each larger than a pipe's buffer.
set(first "${WORK}/first.json")
set(second "${WORK}/second.zpk")
run_or_fail(out err "${TOOL}" generate -o "${first}" --tiles 16
  --samples-per-tile 300 --seed 5)
run_or_fail(out err "${TOOL}" generate -o "${second}" --tiles 12
  --samples-per-tile 300 --seed 6)

# Runs `zyl-profile ARGS` with @A@ and @B@ standing for the two reports as
# files, then as pipes whose writers start first, and @OUT@ for a file the
# command writes: both runs must succeed with the same stdout, stderr and
# output file.
function(same_through_pipes name)
  set(files_out "${WORK}/${name}-files.out")
  set(pipes_out "${WORK}/${name}-pipes.out")
  set(pipe_a "${WORK}/${name}-a")
  set(pipe_b "${WORK}/${name}-b")
  string(REPLACE "@A@" "${first}" files_args "${ARGN}")
  string(REPLACE "@B@" "${second}" files_args "${files_args}")
  string(REPLACE "@OUT@" "${files_out}" files_args "${files_args}")
  string(REPLACE "@A@" "${pipe_a}" pipes_args "${ARGN}")
  string(REPLACE "@B@" "${pipe_b}" pipes_args "${pipes_args}")
  string(REPLACE "@OUT@" "${pipes_out}" pipes_args "${pipes_args}")

  run_or_fail(files_stdout files_stderr "${TOOL}" ${files_args})
  run_or_fail(out err mkfifo "${pipe_a}" "${pipe_b}")
  # A writer the tool never opened would wait for ever: it is stopped once
  # the tool is done, and the tool's status is the step's. A tool that
  # waits for a writer already gone is stopped too, failing the step.
  # (Lines, not semicolons, which would cut the script into list items.)
  set(script [=[
cat "$1" > "$3" &
a=$!
cat "$2" > "$4" &
b=$!
shift 4
timeout 60 "$@"
status=$?
kill $a $b 2>/dev/null
wait
exit $status
]=])
  run_or_fail(pipes_stdout pipes_stderr sh -c "${script}"
    sh "${first}" "${second}" "${pipe_a}" "${pipe_b}" "${TOOL}" ${pipes_args})

  set(report "${name}: ${ARGN}\n--- files: stdout ---\n${files_stdout}\n"
    "--- files: stderr ---\n${files_stderr}\n--- pipes: stdout ---\n"
    "${pipes_stdout}\n--- pipes: stderr ---\n${pipes_stderr}")
  if(files_stdout STREQUAL "" AND NOT EXISTS "${files_out}")
    message(FATAL_ERROR "the command gave nothing to compare\n${report}")
  endif()
  if(NOT pipes_stdout STREQUAL files_stdout)
    message(FATAL_ERROR "stdout differs through pipes\n${report}")
  endif()
  if(NOT pipes_stderr STREQUAL files_stderr)
    message(FATAL_ERROR "stderr differs through pipes\n${report}")
  endif()
  if(EXISTS "${files_out}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
      "${files_out}" "${pipes_out}" RESULT_VARIABLE differs)
    if(differs)
      message(FATAL_ERROR "the written file differs through pipes\n${report}")
    endif()
  endif()
endfunction()

same_through_pipes(share_of_the_span query --concatenate --from 25% --to 80%
  @A@ @B@ --format json --sample-limit 5)
same_through_pipes(point_as_a_share query --concatenate --at-offset 50%
  --group-by tile @A@ @B@ --format json)
same_through_pipes(empty_answer_with_notes query --concatenate @A@ @B@
  --kernel MATMUL_0 --format json)
same_through_pipes(groups_of_both query --concatenate @A@ @B@ --group-by kind)
same_through_pipes(trace_twice trace --concatenate @A@ @B@ -o @OUT@ --from 10%)
same_through_pipes(export export --concatenate @A@ @B@ -o @OUT@ --to 50%
  --format jsonl)
same_through_pipes(diff diff @A@ @B@ --from 25% --format json)
same_through_pipes(one_pipe query @A@ --from 25% --format json)

# A pipe that is not named: standard input, beside a file. Opened again, it
# would give no bytes at all.
run_or_fail(files_stdout err "${TOOL}" query --concatenate --from 25%
  "${first}" "${second}" --format json)
run_or_fail(stdin_stdout err sh -c
  "cat \"$1\" | timeout 60 \"$2\" query --concatenate --from 25% /dev/stdin \"$3\" --format json"
  sh "${first}" "${TOOL}" "${second}")
if(NOT stdin_stdout STREQUAL files_stdout)
  message(FATAL_ERROR "standard input answers otherwise than the file\n"
    "--- file ---\n${files_stdout}\n--- standard input ---\n${stdin_stdout}")
endif()
