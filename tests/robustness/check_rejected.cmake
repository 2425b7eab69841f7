# One malformed report: -DTOOL=exe -DREPORT=file [-DEXPECT=text].
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/rejects.cmake)
expect_rejected("${REPORT}" "${EXPECT}")
