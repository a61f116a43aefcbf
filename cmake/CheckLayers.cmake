# Fails when a library folder includes a header of a folder above it.
#
#   cmake -DSOURCE_DIR=<root> [-DSTAMP=<file>] -P cmake/CheckLayers.cmake
#
# The layers and their one exception are listed in Layers.cmake. Every folder is compiled
# against the whole source tree ("forward_api/Compute.h"), so the compiler
# alone would accept an upward include; this check, which the build runs
# before the library, refuses it with the file, the line and the rule.
include(${CMAKE_CURRENT_LIST_DIR}/Layers.cmake)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "CheckLayers.cmake: give -DSOURCE_DIR=<the source tree>")
endif()
set(problems "")
list(LENGTH MEGFWD_LAYERS count)
math(EXPR last "${count} - 1")
foreach(level RANGE ${last})
  list(GET MEGFWD_LAYERS ${level} layer)
  file(GLOB files ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[A-Za-z_0-9]+/")
    get_filename_component(name ${file} NAME)
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"(([A-Za-z_0-9]+)/[^\"]*)\".*$" "\\1" header "${line}")
      string(REGEX REPLACE "/.*$" "" target "${header}")
      list(FIND MEGFWD_LAYERS ${target} targetLevel)
      if(targetLevel GREATER level)
        list(FIND MEGFWD_LAYER_EXCEPTIONS "${layer}/${name}:${header}" allowed)
        if(allowed EQUAL -1)
          string(APPEND problems "  ${layer}/${name} includes \"${header}\": ${target} is above ${layer}\n")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "Upward includes (the layers, bottom up: ${MEGFWD_LAYERS}):\n${problems}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
