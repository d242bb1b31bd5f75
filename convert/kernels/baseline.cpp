// SPDX-License-Identifier: MIT
#include "convert/kernels/kernels.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "convert/line_mode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;

bool is_break_byte(unsigned char byte) { return byte == CR || byte == LF; }

// Sets the high bit of every byte of `word` equal to the byte repeated in `pattern`, and no other
// bit. No carry crosses a byte (at most 0x7F + 0x7F), so each set bit is exact, not just the first.
std::uint64_t mark_equal_bytes(std::uint64_t word, std::uint64_t pattern)
{
    constexpr std::uint64_t low_bits = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t diff = word ^ pattern;
    return ~(((diff & low_bits) + low_bits) | diff | low_bits);
}

// Index of the first byte in memory order whose high bit is set in a non-zero mark.
unsigned first_marked_byte(std::uint64_t marks)
{
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<unsigned>(std::countr_zero(marks)) / 8;
    else
        return static_cast<unsigned>(std::countl_zero(marks)) / 8;
}

} // namespace

const unsigned char *copy_to_line_break_words(const unsigned char *begin, const unsigned char *end,
                                              unsigned char *out)
{
    constexpr std::uint64_t all_cr = 0x0D0D0D0D0D0D0D0DULL;
    constexpr std::uint64_t all_lf = 0x0A0A0A0A0A0A0A0AULL;
    const unsigned char *p = begin;
    for (; end - p >= 8; p += 8, out += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word); // unaligned load without undefined behaviour
        std::memcpy(out, &word, sizeof word);
        const std::uint64_t marks = mark_equal_bytes(word, all_cr) | mark_equal_bytes(word, all_lf);
        if (marks != 0)
            return p + first_marked_byte(marks);
    }
    for (; p < end && !is_break_byte(*p); ++p)
        *out++ = *p;
    return p;
}

namespace {

#if defined(__SSE2__)
// Copies the 16 bytes at `p` to `out` and returns a bit for each CR or LF among them.
[[gnu::always_inline]] inline unsigned copy_chunk(const unsigned char *p, unsigned char *out)
{
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), chunk);
    const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(CR))),
                                      _mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(LF))));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#elif defined(__ARM_NEON)
// NEON has no byte mask move: narrowing each 16-bit lane by 4 leaves one nibble per byte of a
// 0x00/0xFF comparison in 64 bits, so the first set nibble gives the first matching byte.
[[gnu::always_inline]] inline std::uint64_t nibble_marks(uint8x16_t matches)
{
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(matches), 4)), 0);
}

// Copies the 16 bytes at `p` to `out` and returns 0xFF in each byte that holds a CR or LF.
[[gnu::always_inline]] inline uint8x16_t copy_chunk(const unsigned char *p, unsigned char *out)
{
    const uint8x16_t chunk = vld1q_u8(p);
    vst1q_u8(out, chunk);
    return vorrq_u8(vceqq_u8(chunk, vdupq_n_u8(CR)), vceqq_u8(chunk, vdupq_n_u8(LF)));
}
#endif

// The body of copy_to_line_break, forced inline so the translator's loop keeps it in registers.
[[gnu::always_inline]] inline const unsigned char *copy_run(const unsigned char *begin,
                                                            const unsigned char *end, unsigned char *out)
{
#if defined(__SSE2__)
    // Each chunk is stored before it is searched: one pass over the bytes instead of two. Two
    // chunks a turn halve the loop's branches on long runs.
    const unsigned char *p = begin;
    for (; end - p >= 32; p += 32, out += 32) {
        const unsigned hits = copy_chunk(p, out) | copy_chunk(p + 16, out + 16) << 16;
        if (hits != 0)
            return p + std::countr_zero(hits);
    }
    if (end - p >= 16) {
        const unsigned hits = copy_chunk(p, out);
        if (hits != 0)
            return p + std::countr_zero(hits);
        p += 16;
        out += 16;
    }
    return copy_to_line_break_words(p, end, out);
#elif defined(__ARM_NEON)
    // As above: store, then search; one test of both chunks a turn, the first found only on a hit.
    const unsigned char *p = begin;
    for (; end - p >= 32; p += 32, out += 32) {
        const uint8x16_t first = copy_chunk(p, out);
        const uint8x16_t second = copy_chunk(p + 16, out + 16);
        if (nibble_marks(vorrq_u8(first, second)) != 0) {
            const std::uint64_t marks = nibble_marks(first);
            return marks != 0 ? p + std::countr_zero(marks) / 4
                              : p + 16 + std::countr_zero(nibble_marks(second)) / 4;
        }
    }
    if (end - p >= 16) {
        const std::uint64_t marks = nibble_marks(copy_chunk(p, out));
        if (marks != 0)
            return p + std::countr_zero(marks) / 4;
        p += 16;
        out += 16;
    }
    return copy_to_line_break_words(p, end, out);
#else
    return copy_to_line_break_words(begin, end, out);
#endif
}

} // namespace

const unsigned char *copy_to_line_break(const unsigned char *begin, const unsigned char *end,
                                        unsigned char *out)
{
    return copy_run(begin, end, out);
}

namespace {

// Length of the run of bytes equal to `byte` that starts at `begin`.
std::size_t count_repeats(const unsigned char *begin, const unsigned char *end, unsigned char byte)
{
    const unsigned char *p = begin;
#if defined(__SSE2__)
    const __m128i all_byte = _mm_set1_epi8(static_cast<char>(byte));
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, all_byte)));
        if (same != 0xFFFF)
            return static_cast<std::size_t>(p - begin) + std::countr_one(same);
    }
#elif defined(__ARM_NEON)
    const uint8x16_t all_byte = vdupq_n_u8(byte);
    for (; end - p >= 16; p += 16) {
        const std::uint64_t same = nibble_marks(vceqq_u8(vld1q_u8(p), all_byte));
        if (same != ~std::uint64_t{0})
            return static_cast<std::size_t>(p - begin) + std::countr_one(same) / 4;
    }
#endif
    while (p < end && *p == byte)
        ++p;
    return static_cast<std::size_t>(p - begin);
}

// Writes `count` copies of the terminator at `out`; returns the end of what it wrote.
unsigned char *fill_line_breaks(unsigned char *out, std::size_t count, const unsigned char *terminator,
                                std::size_t terminator_size)
{
    if (terminator_size == 1) {
        std::memset(out, terminator[0], count);
        return out + count;
    }
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i pattern = _mm_set1_epi16(static_cast<short>(terminator[0] | terminator[1] << 8));
    for (; count - i >= 8; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), pattern);
#elif defined(__ARM_NEON)
    // An interleaving store: 16 terminators a time in memory order, whatever the byte order.
    const uint8x16x2_t pattern = {{vdupq_n_u8(terminator[0]), vdupq_n_u8(terminator[1])}};
    for (; count - i >= 16; i += 16)
        vst2q_u8(out + 2 * i, pattern);
#endif
    for (; i < count; ++i) {
        out[2 * i] = terminator[0];
        out[2 * i + 1] = terminator[1];
    }
    return out + 2 * count;
}

} // namespace

std::size_t translate_block_baseline(const unsigned char *in, std::size_t n, unsigned char *out,
                                     break_state *state)
{
    unsigned char terminator[2] = {0, 0};
    const std::size_t terminator_size = write_line_break(terminator);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    break_state s = *state;
    while (p < end) {
        if (!is_break_byte(*p)) {
            // A run of plain bytes is copied whole; it also ends any pair in progress.
            const unsigned char *run_end = copy_run(p, end, o);
            o += run_end - p;
            p = run_end;
            s = BREAK_NONE;
            if (p == end)
                break;
        }
        const unsigned char byte = *p;
        // Arithmetic rather than branches from here on: in mixed text CR and LF, lone breaks and
        // pairs follow no pattern a branch predictor could learn. CR is odd, LF even.
        const int own = BREAK_AFTER_LF - (byte & 1);
        const int other = BREAK_AFTER_CR + BREAK_AFTER_LF - own;
        // The second byte of a pair whose first byte ended the previous block or a run of equal
        // breaks; other pairs are taken whole below.
        if (s == other) {
            s = BREAK_NONE;
            ++p;
            continue;
        }
        const unsigned char next = end - p > 1 ? p[1] : 0; // at the block's end: no partner yet
        if (next == byte) {
            // This byte starts a break, and so does each equal byte after it: blank lines in bulk.
            const std::size_t breaks = count_repeats(p, end, byte);
            o = fill_line_breaks(o, breaks, terminator, terminator_size);
            p += breaks;
            s = static_cast<break_state>(own);
            continue;
        }
        // One terminator for a lone break or a whole pair.
        const int pair = next == (byte ^ (CR ^ LF));
        o[0] = terminator[0];
        o[terminator_size - 1] = terminator[terminator_size - 1];
        o += terminator_size;
        p += 1 + pair;
        s = static_cast<break_state>(own * (1 - pair));
    }
    *state = s;
    return static_cast<std::size_t>(o - out);
}
