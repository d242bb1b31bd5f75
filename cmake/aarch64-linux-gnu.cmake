# SPDX-License-Identifier: MIT
# Cross build for aarch64 with Debian's g++-aarch64-linux-gnu; tests run under qemu-aarch64 (package qemu-user).
set(EOLFIX_CROSS_TRIPLE aarch64-linux-gnu)
set(EOLFIX_CROSS_PROCESSOR aarch64)
set(EOLFIX_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
