# SPDX-License-Identifier: MIT
# Cross-builds the 32-bit Windows console program on Debian with MinGW-w64, and runs the built
# programs under 32-bit Wine: cmake -S . -B build-windows32 -G Ninja --toolchain cmake/mingw-w64-i686.cmake
set(EOLFIX_MINGW_TRIPLE i686-w64-mingw32)
set(EOLFIX_MINGW_PROCESSOR i686)
# SSE2 as the baseline, which every Windows since 8 requires (x87 left for nothing); and the stack
# realigned where vectors are spilled, since 32-bit Windows promises only 4-byte alignment.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
