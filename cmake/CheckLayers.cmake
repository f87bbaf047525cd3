cmake_minimum_required(VERSION 3.25)
# Fails when a library includes a header of a library above it.
#   cmake -DROOT=<source dir> -P cmake/CheckLayers.cmake
# The handler's libraries, from the bottom: each may include its own headers
# and those of the libraries before it. client/protocol.h and
# client/crash_data_block_win.h are the protocol both sides share: any layer
# may include them. client/ itself stands on base/ alone; tests may also
# include client/ (they play the engine) and tests/support.
set(layers base platform session report capture ui upload app)
set(shared_protocol client/protocol.h client/crash_data_block_win.h)

set(violations "")
function(check_file file allowed)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
  file(RELATIVE_PATH rel ${ROOT} ${file})
  get_filename_component(name ${file} NAME)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" header "${line}")
    string(REGEX REPLACE "/.*" "" folder "${header}")
    if(header IN_LIST shared_protocol)
      continue()
    endif()
    # Tests may also play the engine (client/) and use the test support.
    if((folder STREQUAL "tests" OR folder STREQUAL "client") AND name MATCHES "_test(_win)?\\.cc$")
      continue()
    endif()
    if(NOT folder IN_LIST allowed)
      set(violations "${violations}\n  ${rel} includes ${header}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

set(below "")
foreach(layer IN LISTS layers)
  list(APPEND below ${layer})
  file(GLOB files ${ROOT}/${layer}/*.cc ${ROOT}/${layer}/*.h)
  foreach(f IN LISTS files)
    check_file(${f} "${below}")
  endforeach()
endforeach()
file(GLOB files ${ROOT}/client/*.cc ${ROOT}/client/*.h)
foreach(f IN LISTS files)
  check_file(${f} "base;client")
endforeach()

if(violations)
  message(FATAL_ERROR "A library includes a header of a library above it (order, from the bottom: ${layers}):${violations}")
endif()
message(STATUS "Library order holds: ${layers}")
