# SPDX-License-Identifier: MIT
# Cross build for s390x with Debian's g++-s390x-linux-gnu; tests run under qemu-s390x (package qemu-user).
set(EOLFIX_CROSS_TRIPLE s390x-linux-gnu)
set(EOLFIX_CROSS_PROCESSOR s390x)
set(EOLFIX_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
