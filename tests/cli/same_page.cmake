# Compares two report pages that must show the same profile, read once as
# one file and once as its shards: equal byte for byte once each page's own
# label (the file name, or the first shard's and how many more) and the
# command line it was made with (and the title holding them) are set aside.
#
#   cmake -DA=page.html -DB=page.html -DLABEL_A=text -DLABEL_B=text -P same_page.cmake
cmake_minimum_required(VERSION 3.25)

file(READ "${A}" a)
file(READ "${B}" b)
# The title holds both labels, cut to a length, so it goes whole.
string(REGEX REPLACE "<title>[^<]*</title>" "<title></title>" a "${a}")
string(REGEX REPLACE "<title>[^<]*</title>" "<title></title>" b "${b}")
string(REPLACE "${LABEL_A}" "LABEL" a "${a}")
string(REPLACE "${LABEL_B}" "LABEL" b "${b}")
string(REGEX REPLACE "\"command\": \"[^\"]*\"" "\"command\": \"\"" a "${a}")
string(REGEX REPLACE "\"command\": \"[^\"]*\"" "\"command\": \"\"" b "${b}")
if(NOT a STREQUAL b)
  file(WRITE "${A}.normal" "${a}")
  file(WRITE "${B}.normal" "${b}")
  message(FATAL_ERROR "the pages differ beyond their labels: compare "
    "${A}.normal and ${B}.normal")
endif()
