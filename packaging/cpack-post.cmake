# SPDX-License-Identifier: MIT
# Run by cpack after it packs, to take this machine's umask and user out of the packages.

# The .deb's ar members (debian-binary, control.tar.gz, data.tar.gz) carry the modes the umask gave
# them: each header's mode field becomes 0644. A header is 60 bytes: the mode at 40, the size at 48.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    file(SIZE "${package}" end)
    file(WRITE "${package}.mode" "100644  ")
    set(at 8)
    while(at LESS end)
      file(READ "${package}" header OFFSET ${at} LIMIT 60)
      string(SUBSTRING "${header}" 48 10 size)
      string(STRIP "${size}" size)
      math(EXPR mode_at "${at} + 40")
      execute_process(COMMAND dd "if=${package}.mode" "of=${package}" bs=1 seek=${mode_at} conv=notrunc
                      status=none COMMAND_ERROR_IS_FATAL ANY)
      math(EXPR at "${at} + 60 + ${size} + ${size} % 2")
    endwhile()
    file(REMOVE "${package}.mode")
  endif()
endforeach()

# cpack's tar keeps the owner and modes the files have on this machine, so the source tarball is
# packed again with GNU tar: names sorted, owner root, the date of SOURCE_DATE_EPOCH, modes 0644
# or 0755, gzip without name or date. It also carries that date in .source-date-epoch, so a build
# from it packs the same bytes as one from the git checkout.
if(NOT CPACK_INSTALLED_DIRECTORIES)
  return()
endif()
execute_process(COMMAND tar --version OUTPUT_VARIABLE version ERROR_QUIET)
if(NOT version MATCHES "GNU tar")
  message(WARNING "GNU tar is missing: the source tarball holds this machine's owner and modes")
  return()
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.tar\\.gz$")
    continue()
  endif()
  set(unpacked "${CPACK_EOLFIX_BINARY_DIR}/source-package-repack")
  file(REMOVE_RECURSE "${unpacked}")
  file(MAKE_DIRECTORY "${unpacked}")
  execute_process(COMMAND tar -xzf "${package}" WORKING_DIRECTORY "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
  file(WRITE "${unpacked}/${CPACK_PACKAGE_FILE_NAME}/.source-date-epoch" "$ENV{SOURCE_DATE_EPOCH}\n")
  execute_process(
    COMMAND tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner
                "--mtime=@$ENV{SOURCE_DATE_EPOCH}" --mode=u=rwX,go=rX -cf - "${CPACK_PACKAGE_FILE_NAME}"
    COMMAND gzip -9n
    WORKING_DIRECTORY "${unpacked}" OUTPUT_FILE "${package}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${unpacked}")
endforeach()
