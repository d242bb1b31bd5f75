# SPDX-License-Identifier: MIT
# Read by cpack before it packs. Every archive member gets one date, SOURCE_DATE_EPOCH: the caller's,
# else the one a source tarball carries (kept even if the packager adds git), else the last
# commit's, else the newest CHANGELOG.md entry's.
# The source package holds the files git tracks, when there is git.
set(src "${CPACK_EOLFIX_SOURCE_DIR}")
if(EXISTS "${src}/.git")
  find_program(EOLFIX_GIT git)
  if(NOT EOLFIX_GIT)
    message(FATAL_ERROR "${src} is a git checkout, but git is missing: its date and files are unknown")
  endif()
endif()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
elseif(EXISTS "${src}/.source-date-epoch")
  file(STRINGS "${src}/.source-date-epoch" epoch LIMIT_COUNT 1)
elseif(EXISTS "${src}/.git")
  execute_process(COMMAND "${EOLFIX_GIT}" -C "${src}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
else()
  execute_process(COMMAND awk -v epoch=1 -f "${src}/packaging/changelog.awk" "${src}/CHANGELOG.md"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${epoch}', not a number of seconds")
endif()
# The DEB and archive generators read it from the environment.
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")

# CPACK_INSTALLED_DIRECTORIES is set for the source package only, whose files sit at its top.
if(CPACK_INSTALLED_DIRECTORIES)
  unset(CPACK_PACKAGING_INSTALL_PREFIX)
endif()
if(CPACK_INSTALLED_DIRECTORIES AND EXISTS "${src}/.git")
  execute_process(COMMAND "${EOLFIX_GIT}" -C "${src}" -c core.quotePath=false ls-files
                  OUTPUT_VARIABLE tracked COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" tracked "${tracked}")
  set(stage "${CPACK_EOLFIX_BINARY_DIR}/source-package")
  file(REMOVE_RECURSE "${stage}")
  foreach(name IN LISTS tracked)
    if(NOT name STREQUAL "")
      get_filename_component(folder "${name}" DIRECTORY)
      file(COPY "${src}/${name}" DESTINATION "${stage}/${folder}")
    endif()
  endforeach()
  set(CPACK_INSTALLED_DIRECTORIES "${stage};/")
  unset(CPACK_IGNORE_FILES)
endif()

# A cross-built program needs the C library and its loader (nothing else, as the tests check) from the newest
# version among those its symbols name: what dpkg-shlibdeps finds from a symbols file.
if(CPACK_EOLFIX_OBJDUMP AND NOT CPACK_INSTALLED_DIRECTORIES)
  execute_process(COMMAND "${CPACK_EOLFIX_OBJDUMP}" -p -T "${CPACK_EOLFIX_BINARY_DIR}/eolfix"
                  OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "NEEDED[ \t]+[^\n]+" needed "${headers}")
  string(REGEX REPLACE "NEEDED[ \t]+" "" needed "${needed}")
  list(FILTER needed EXCLUDE REGEX "^ld-linux") # the loader comes in the same package
  if(NOT needed STREQUAL "libc.so.6")
    message(FATAL_ERROR "the program needs ${needed}, not the C library alone: its Depends is unknown")
  endif()
  string(REGEX MATCHALL "GLIBC_[0-9][0-9.]*" versions "${headers}")
  string(REPLACE "GLIBC_" "" versions "${versions}")
  list(SORT versions COMPARE NATURAL)
  list(POP_BACK versions newest)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
