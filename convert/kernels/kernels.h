// SPDX-License-Identifier: MIT
#pragma once

// What the translator's kernels share. Each kernel's file is compiled for its own instruction set,
// so the helpers here have internal linkage and the kernels use compiler builtins rather than
// library templates: an out-of-line copy merged at link time could carry instructions the processor
// lacks into code that runs everywhere.

#include <cstddef>
#include <cstdint>

#include "convert/line_mode.h"
#include "convert/translate.h"

/// The kernels, each with translate_block's contract.
std::size_t translate_block_baseline(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
std::size_t translate_block_avx2(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
std::size_t translate_block_avx512(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
std::size_t translate_block_sse(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
std::size_t translate_block_neon(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);

// Marks where a loop's step begins and where the path text takes through it ends, for bench/mca.py
// to hand to llvm-mca; nothing in a normal build.
#ifdef EOLFIX_MCA
#define MCA_STEP_BEGIN(name) asm volatile("# LLVM-MCA-BEGIN " name)
#define MCA_STEP_END(name) asm volatile("# LLVM-MCA-END " name)
#else
#define MCA_STEP_BEGIN(name) ((void)0)
#define MCA_STEP_END(name) ((void)0)
#endif

namespace {

/// One of a kernel's loops, made for one mode, with translate_block's contract.
using block_loop = std::size_t (*)(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);

/// Runs the loop made for current_mode; the choice is made once a block, so the hot loops never test
/// the mode.
[[maybe_unused]] inline std::size_t run_for_current_mode(block_loop dos, block_loop unix_lf, block_loop mac,
                                                         const unsigned char *in, std::size_t n,
                                                         unsigned char *out, break_state *state)
{
    switch (current_mode) {
    case MODE_DOS:
        return dos(in, n, out, state);
    case MODE_UNIX:
        return unix_lf(in, n, out, state);
    case MODE_MAC:
        return mac(in, n, out, state);
    }
    return 0;
}

/// The second bytes of pairs in a chunk, given one bit per break byte whose byte before is the
/// other break byte, when the byte before the chunk completed no pair. A byte completes a pair when
/// the byte before it is the other break byte and started a break; along a run of alternating
/// breaks that holds for every other byte, so the seconds are the 1st, 3rd, 5th... bits of each run
/// of `after_other` (the odd-run trick of SIMD JSON parsers). As wide as the mask given: kernels
/// with 32-byte chunks pass 32 bits, so a 32-bit program needs no 64-bit arithmetic for it.
template <typename mask>
[[maybe_unused]] inline mask seconds_of_runs(mask after_other)
{
    constexpr mask odd_bits = static_cast<mask>(0xAAAAAAAAAAAAAAAAULL);
    return ((((after_other << 1) | odd_bits) - after_other) ^ odd_bits) & after_other;
}

/// The second bytes of pairs in a chunk, given one bit per byte for its CRs and its LFs (bit i for
/// byte i), when the chunk's first byte cannot complete a pair.
[[maybe_unused]] inline std::uint64_t second_bytes_of_pairs(std::uint64_t cr, std::uint64_t lf)
{
    return seconds_of_runs((cr & (lf << 1)) | (lf & (cr << 1)));
}

/// The byte that completes a pair after a chunk or block that left `state`, or -1 for none.
[[maybe_unused]] inline int completing_byte(break_state state)
{
    return state == BREAK_AFTER_CR ? 0x0A : state == BREAK_AFTER_LF ? 0x0D : -1;
}

/// Runs the last bytes of a block, fewer than a chunk, through the state table, after chunks that
/// left `completing` (as completing_byte gives it); stores the block's final state and returns the
/// end of the output.
[[maybe_unused]] inline unsigned char *finish_bytewise(const unsigned char *p, const unsigned char *end,
                                                       unsigned char *o, int completing, break_state *state)
{
    break_state s = completing == 0x0A ? BREAK_AFTER_CR : completing == 0x0D ? BREAK_AFTER_LF : BREAK_NONE;
    for (; p < end; ++p)
        o += translate_byte(*p, &s, o);
    *state = s;
    return o;
}

} // namespace
