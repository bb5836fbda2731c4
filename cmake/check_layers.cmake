# Checks the layers of src/: every #include "folder/..." of a file in src/F
# names F itself or a folder F links (the edges CMakeLists.txt draws, read from
# EDGES_FILE), and the drawing itself keeps the rules below.
#
#   cmake -DSOURCE_DIR=src -DEDGES_FILE=build/framelint_layers.txt -P check_layers.cmake

cmake_minimum_required(VERSION 3.20)

# The most each of these folders may link (an empty list: nothing at all).
set(may_link_mpeg "")
set(may_link_tags "")
set(may_link_stream "")
set(may_link_text "")
set(may_link_io text)
set(may_link_repair stream mpeg tags)
set(may_link_report checksum id3v1 integrity io mpeg options problems stream tags text)
set(ruled mpeg tags stream text io repair report)

file(READ ${EDGES_FILE} edges)
set(failures "")

foreach(edge IN LISTS edges)
  if(edge MATCHES "^([a-z0-9_]+)>([a-z0-9_]+)$")
    set(from ${CMAKE_MATCH_1})
    set(to ${CMAKE_MATCH_2})
    if(to STREQUAL "cli")
      list(APPEND failures "${from} links cli: nothing below the driver reaches up to it")
    endif()
    if(from IN_LIST ruled AND NOT to IN_LIST may_link_${from})
      list(APPEND failures "${from} links ${to}, which its layer may not use")
    endif()
  endif()
endforeach()

file(GLOB files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*/*.cpp ${SOURCE_DIR}/*/*.hpp)
foreach(file IN LISTS files)
  string(REGEX REPLACE "/.*" "" folder ${file})
  if(NOT folder IN_LIST edges)
    list(APPEND failures "src/${folder} is no library of CMakeLists.txt")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" path "${line}")
    if(path MATCHES "\\.\\.")
      list(APPEND failures "src/${file}: #include \"${path}\" climbs out of its folder")
    elseif(path MATCHES "^([a-z0-9_]+)/")
      set(to ${CMAKE_MATCH_1})
      if(NOT to STREQUAL folder AND NOT "${folder}>${to}" IN_LIST edges)
        list(APPEND failures "src/${file}: #include \"${path}\": ${folder} does not link ${to}")
      endif()
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "the layers of src/ are crossed:\n  ${text}")
endif()
list(LENGTH files count)
message(STATUS "${count} files of src/ include only what their folder links")
