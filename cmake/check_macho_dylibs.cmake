cmake_minimum_required(VERSION 3.25)
# Fails when the Mach-O file FILE links a library outside the system's own
# (/usr/lib and /System/Library): a helper that runs as root must not load a
# library from a place an ordinary package manager writes to.
#   cmake -DFILE=... -DOBJDUMP=... -P check_macho_dylibs.cmake
execute_process(COMMAND "${OBJDUMP}" --macho --dylibs-used "${FILE}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} could not read ${FILE}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
list(POP_FRONT lines)  # "{file}:"
set(outside "")
set(count 0)
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE " \\(compatibility version.*" "" library "${line}")
  math(EXPR count "${count} + 1")
  if(NOT library MATCHES "^/usr/lib/" AND NOT library MATCHES "^/System/Library/")
    list(APPEND outside "${library}")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${FILE}: no linked libraries found; is it a Mach-O executable?")
endif()
if(outside)
  list(JOIN outside ", " outside)
  message(FATAL_ERROR "${FILE} links libraries outside the system: ${outside}")
endif()
message(STATUS "${FILE}: links only system libraries (${count})")
