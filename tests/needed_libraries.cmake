# SPDX-License-Identifier: MIT
# Fails if the program needs a shared library beyond the C library and its loader; start-up cost
# grows with each one. cmake -DREADELF=... -DPROGRAM=... [-DSKIP=reason] -P needed_libraries.cmake
if(SKIP)
  message("SKIPPED: ${SKIP}")
  return()
endif()
execute_process(COMMAND "${READELF}" -d "${PROGRAM}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed OR NOT dynamic MATCHES "\\(NEEDED\\)")
  message(FATAL_ERROR "cannot read the dynamic section of ${PROGRAM}:\n${dynamic}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" library "${entry}")
  message("needs ${library}")
  if(NOT library MATCHES "^(libc\\.so\\.[0-9]+|ld-linux[-a-z0-9_.]*\\.so\\.[0-9]+|ld64\\.so\\.[0-9]+)$")
    message(FATAL_ERROR "${PROGRAM} needs ${library} at run time; only the C library is expected")
  endif()
endforeach()
