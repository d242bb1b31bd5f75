# SPDX-License-Identifier: MIT
# Shared by the Linux cross toolchain files: set EOLFIX_CROSS_TRIPLE, EOLFIX_CROSS_PROCESSOR and
# EOLFIX_CROSS_QEMU (the qemu-user program for that machine), then include this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${EOLFIX_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${EOLFIX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${EOLFIX_CROSS_TRIPLE}-g++)
# Libraries and headers come from the cross toolchain's own tree, programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${EOLFIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# No binfmt_misc here: every program built for the machine is started through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR ${EOLFIX_CROSS_QEMU} -L /usr/${EOLFIX_CROSS_TRIPLE})
