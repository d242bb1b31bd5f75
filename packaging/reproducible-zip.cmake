# SPDX-License-Identifier: MIT
# Run by cpack once the zip is made: dates its members from SOURCE_DATE_EPOCH, or else from the
# last commit, so that two builds of one commit give the same bytes.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_EOLFIX_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(epoch STREQUAL "")
  set(epoch 0) # no history (an unpacked tarball): the earliest date a zip holds
endif()
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND python3 "${CMAKE_CURRENT_LIST_DIR}/reproducible-zip.py" "${zip}" "${epoch}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
