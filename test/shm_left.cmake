# Run after the suite (ctest fixture cleanup): fails when /dev/shm still holds
# an object under a name the test harness handed out in this run, that name
# itself or the name followed by a dot (its health record, a region still
# under construction), and removes what it finds.
#   cmake -DLIST=<build>/test-shm-names -P shm_left.cmake
if(NOT EXISTS "${LIST}")
  return()
endif()
file(STRINGS "${LIST}" names)
file(GLOB objects RELATIVE /dev/shm /dev/shm/fbtest-*)
set(left)
foreach(object IN LISTS objects)
  foreach(name IN LISTS names)
    string(REGEX REPLACE "^/" "" name "${name}")
    string(FIND "${object}" "${name}." dot)
    if(object STREQUAL name OR dot EQUAL 0)
      list(APPEND left "${object}")
      file(REMOVE "/dev/shm/${object}")
      break()
    endif()
  endforeach()
endforeach()
list(LENGTH names count)
if(left)
  list(JOIN left "\n  " shown)
  message(FATAL_ERROR "left in /dev/shm by the tests (now removed):\n  ${shown}")
endif()
message(STATUS "${count} names handed out, nothing left under them in /dev/shm")
