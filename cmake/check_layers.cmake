# Fails when a file of a layer includes a header of a layer that it may not
# use (cmake/layers.cmake): one above it, or one beside it. Outside the
# layers' folders a file may name only the public header and the generated
# version header.
#   cmake -DKORVEL_SOURCE_DIR=<source tree> -P cmake/check_layers.cmake
cmake_minimum_required(VERSION 3.24)
include(${CMAKE_CURRENT_LIST_DIR}/layers.cmake)

set(shared_headers korvel32.h korvel_version.h)
set(violations)
foreach(layer IN LISTS KORVEL_LAYERS)
  file(GLOB_RECURSE files ${KORVEL_SOURCE_DIR}/${layer}/*.h ${KORVEL_SOURCE_DIR}/${layer}/*.c
       ${KORVEL_SOURCE_DIR}/${layer}/*.cpp ${KORVEL_SOURCE_DIR}/${layer}/*.in)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" header "${line}")
      if(header MATCHES "^([a-z0-9_]+)/")
        set(other ${CMAKE_MATCH_1})
        if(NOT DEFINED KORVEL_LEVEL_${other})
          list(APPEND violations "${file}: \"${header}\" is no layer's header")
          continue()
        endif()
        korvel_may_use(allowed ${layer} ${other})
        if(NOT allowed)
          list(APPEND violations "${file}: ${layer} may not include \"${header}\"")
        endif()
      elseif(NOT header IN_LIST shared_headers)
        list(APPEND violations "${file}: \"${header}\" must name its layer")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n" text)
  message(FATAL_ERROR "Includes against the layers:\n${text}")
endif()
