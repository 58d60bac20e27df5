# Run by ctest: fails when a program, client, example or fuzz target
# includes a header of the library that the install does not ship (nor the
# export writers' export.h, their public face). The library's own private
# headers (the platform layer, the output path's registry) are its business
# alone; what a program needs is public or lives in apps/common.
#   cmake -DSOURCE_DIR=<repository> "-DPUBLIC=<header;...>" -P private_headers.cmake
cmake_minimum_required(VERSION 3.25)

file(GLOB_RECURSE sources LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/apps/*.cpp ${SOURCE_DIR}/apps/*.h ${SOURCE_DIR}/clients/*.cpp
     ${SOURCE_DIR}/clients/*.h ${SOURCE_DIR}/examples/*.cpp ${SOURCE_DIR}/fuzz/*.cpp
     ${SOURCE_DIR}/fuzz/*.h)
set(found "")
foreach(source IN LISTS sources)
  file(STRINGS ${SOURCE_DIR}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]pdx/")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[^\"<]*[\"<]([^\">]*)[\">].*$" "\\1" header "${line}")
    if(NOT header IN_LIST PUBLIC)
      string(APPEND found "  ${source}: ${header}\n")
    endif()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "private headers of the library included outside it:\n${found}")
endif()
