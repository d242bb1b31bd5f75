# SPDX-License-Identifier: MIT
# Cross build for i686 with Debian's g++-i686-linux-gnu; tests run under qemu-i386 (package qemu-user).
set(EOLFIX_CROSS_TRIPLE i686-linux-gnu)
set(EOLFIX_CROSS_PROCESSOR i686)
set(EOLFIX_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
