# A valid report cut short at every STEP-th byte must be rejected each time,
# and the whole file accepted: -DTOOL=exe -DVALID=file -DSTEP=n -DWORK=dir.
# VALID must be plain ASCII (escapes instead of raw UTF-8), since CMake
# strings carry text, not arbitrary bytes.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/rejects.cmake)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

execute_process(COMMAND "${TOOL}" query "${VALID}" --format json
  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the untruncated file must load: ${err}")
endif()

# Cut only inside the document: a cut in the trailing newline leaves a
# complete report.
file(READ "${VALID}" text)
string(STRIP "${text}" content)
string(LENGTH "${content}" content_bytes)
set(cuts 0)
set(cut 0)
while(cut LESS content_bytes)
  set(piece "${WORK}/cut_${cut}.json")
  string(SUBSTRING "${content}" 0 ${cut} prefix)
  file(WRITE "${piece}" "${prefix}")
  expect_rejected("${piece}" "")
  math(EXPR cuts "${cuts} + 1")
  math(EXPR cut "${cut} + ${STEP}")
endwhile()
message(STATUS "${cuts} truncations rejected")
