# SPDX-License-Identifier: MIT
# Cross-builds the 64-bit Windows console program on Debian with MinGW-w64, and runs the built
# programs under Wine: cmake -S . -B build-windows -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake
set(EOLFIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(EOLFIX_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
