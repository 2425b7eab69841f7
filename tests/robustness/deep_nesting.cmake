# Nesting far beyond any report must give an error, not a stack overflow:
# 100000 `[`, the same inside a report, and 100000 nested objects.
# -DTOOL=exe -DWORK=dir.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/rejects.cmake)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

string(REPEAT "[" 100000 brackets)
file(WRITE "${WORK}/brackets.json" "${brackets}")
expect_rejected("${WORK}/brackets.json" "")

string(REPEAT "]" 100000 closing)
file(WRITE "${WORK}/closed_brackets.json" "${brackets}${closing}")
expect_rejected("${WORK}/closed_brackets.json" "")

file(WRITE "${WORK}/in_report.json"
  "{\"clock_hz\": 1, \"tiles\": ${brackets}${closing}}")
expect_rejected("${WORK}/in_report.json" "tiles")

string(REPEAT "{\"a\":" 100000 objects)
file(WRITE "${WORK}/objects.json" "${objects}")
expect_rejected("${WORK}/objects.json" "")

file(WRITE "${WORK}/in_metadata.json"
  "{\"clock_hz\": 1, \"tiles\": [{\"physical_tile\": 0, \"samples\": [{\"start_cycle\": 0, \"end_cycle\": 1, \"step\": {\"phase\": 0, \"operation\": \"o\", \"kind\": \"idle\", \"metadata\": [{\"name\": \"n\", \"value\": ${brackets}${closing}}]}}]}]}")
expect_rejected("${WORK}/in_metadata.json" "value")
