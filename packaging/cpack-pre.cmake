# SPDX-License-Identifier: MIT
# Run by cpack once the files are staged: folders the install made carry this machine's umask, so
# every staged file and folder is set to 0644 or 0755, after its execute bit.
execute_process(COMMAND chmod -R u=rwX,go=rX "${CPACK_TEMPORARY_DIRECTORY}" COMMAND_ERROR_IS_FATAL ANY)
