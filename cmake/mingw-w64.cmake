# SPDX-License-Identifier: MIT
# Shared by the MinGW-w64 toolchain files: set EOLFIX_MINGW_TRIPLE and EOLFIX_MINGW_PROCESSOR,
# then include this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${EOLFIX_MINGW_PROCESSOR})

# The -posix drivers: the -win32 ones lack std::thread and std::mutex, which GoogleTest needs.
set(CMAKE_C_COMPILER ${EOLFIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${EOLFIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${EOLFIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${EOLFIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine's loader, through a wrapper that keeps Wine headless and its prefix inside the build folder;
# it picks 32- or 64-bit Wine from the program it starts.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine-prefix)
