# SPDX-License-Identifier: MIT
# Run by cpack once the zip is made: dates its members from SOURCE_DATE_EPOCH, which
# cpack-project.cmake has set, so that two builds of one source give the same bytes.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND python3 "${CMAKE_CURRENT_LIST_DIR}/reproducible-zip.py" "${zip}" "${epoch}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
