// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <span>

/// What the previous byte left behind: whether it started a break that the next byte may complete.
enum break_state : signed char {
    BREAK_NONE = 0,     ///< the previous byte started no break (or there was none)
    BREAK_AFTER_CR = 1, ///< the previous byte was a CR that wrote a terminator; an LF now completes it
    BREAK_AFTER_LF = 2, ///< the previous byte was an LF that wrote a terminator; a CR now completes it
};

/// Room translate_block needs for `n` input bytes: at worst every byte is a break written as CR LF.
constexpr std::size_t max_translated_size(std::size_t n) { return 2 * n; }

/// Puts the terminator of current_mode at `out` and returns its length (1 or 2).
std::size_t write_line_break(unsigned char *out);

/// Runs one byte through the break state table: writes the byte, a terminator or nothing at
/// `out`, updates `*state`, and returns the number of bytes written. The reference behaviour.
std::size_t translate_byte(unsigned char byte, break_state *state, unsigned char *out);

/// Copies the bytes from `begin` up to the first CR or LF (or `end`) to `out` and returns where it
/// stopped. It may also write some of the following bytes of [begin, end) after them, never past
/// out + (end - begin), so `out` needs that much room and must not overlap the input.
const unsigned char *copy_to_line_break(const unsigned char *begin, const unsigned char *end,
                                        unsigned char *out);

/// The same copy and scan a machine word at a time, for targets without a vector unit; exposed
/// so the tests check it on every target.
const unsigned char *copy_to_line_break_words(const unsigned char *begin, const unsigned char *end,
                                              unsigned char *out);

/// Translates `n` bytes from `in` into `out` for current_mode, carrying `*state` across calls so
/// a pair split between two blocks still makes one break. Gives exactly what translate_byte gives
/// byte by byte. `out` needs max_translated_size(n) bytes and must not overlap `in`. Returns the
/// number of bytes written.
std::size_t translate_block(const unsigned char *in, std::size_t n, unsigned char *out,
                            break_state *state);

/// One implementation of translate_block for one instruction set. All give the same bytes.
struct translate_kernel {
    const char *name;
    bool (*supported)(); ///< whether this processor can run it
    std::size_t (*translate)(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
};

/// Every kernel built into this program, fastest first; the last one runs on any processor.
std::span<const translate_kernel> translate_kernels();

/// The kernel translate_block runs: the first that this processor supports, chosen on first use.
const translate_kernel &chosen_translate_kernel();
