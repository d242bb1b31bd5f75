#include "convert/translate.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "convert/line_mode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
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

std::size_t write_line_break(unsigned char *out)
{
    switch (current_mode) {
    case MODE_DOS:
        out[0] = CR;
        out[1] = LF;
        return 2;
    case MODE_UNIX:
        out[0] = LF;
        return 1;
    case MODE_MAC:
        out[0] = CR;
        return 1;
    }
    return 0;
}

std::size_t translate_byte(unsigned char byte, break_state *state, unsigned char *out)
{
    break_state next = BREAK_NONE;
    std::size_t written = 0;
    if (byte == LF) {
        if (*state != BREAK_AFTER_CR) { // else this LF completes CR LF: already written
            written = write_line_break(out);
            next = BREAK_AFTER_LF;
        }
    } else if (byte == CR) {
        if (*state != BREAK_AFTER_LF) { // else this CR completes LF CR: already written
            written = write_line_break(out);
            next = BREAK_AFTER_CR;
        }
    } else {
        out[0] = byte;
        written = 1;
    }
    *state = next;
    return written;
}

const unsigned char *find_line_break_words(const unsigned char *begin, const unsigned char *end)
{
    constexpr std::uint64_t all_cr = 0x0D0D0D0D0D0D0D0DULL;
    constexpr std::uint64_t all_lf = 0x0A0A0A0A0A0A0A0AULL;
    const unsigned char *p = begin;
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word); // unaligned load without undefined behaviour
        const std::uint64_t marks = mark_equal_bytes(word, all_cr) | mark_equal_bytes(word, all_lf);
        if (marks != 0)
            return p + first_marked_byte(marks);
    }
    while (p < end && !is_break_byte(*p))
        ++p;
    return p;
}

const unsigned char *find_line_break(const unsigned char *begin, const unsigned char *end)
{
#if defined(__SSE2__)
    const __m128i all_cr = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i all_lf = _mm_set1_epi8(static_cast<char>(LF));
    const unsigned char *p = begin;
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(chunk, all_cr), _mm_cmpeq_epi8(chunk, all_lf));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0)
            return p + std::countr_zero(mask);
    }
    while (p < end && !is_break_byte(*p))
        ++p;
    return p;
#else
    return find_line_break_words(begin, end);
#endif
}

std::size_t translate_block(const unsigned char *in, std::size_t n, unsigned char *out,
                            break_state *state)
{
    unsigned char terminator[2] = {0, 0};
    const std::size_t terminator_size = write_line_break(terminator);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    break_state s = *state;
    while (p < end) {
        const unsigned char byte = *p;
        if (!is_break_byte(byte)) {
            // A run of plain bytes is copied whole; it also ends any pair in progress.
            const unsigned char *run_end = find_line_break(p + 1, end);
            const std::size_t run = static_cast<std::size_t>(run_end - p);
            if (o != p) // in place and nothing dropped yet: the bytes are already there
                std::memmove(o, p, run);
            o += run;
            p = run_end;
            s = BREAK_NONE;
            continue;
        }
        // A break byte completes a pair only when the byte before started a break of the other kind.
        const break_state own = byte == CR ? BREAK_AFTER_CR : BREAK_AFTER_LF;
        const break_state other = byte == CR ? BREAK_AFTER_LF : BREAK_AFTER_CR;
        if (s == other) {
            s = BREAK_NONE;
        } else {
            o[0] = terminator[0];
            if (terminator_size == 2) // never touch o[1] otherwise: in place it is unread input
                o[1] = terminator[1];
            o += terminator_size;
            s = own;
        }
        ++p;
    }
    *state = s;
    return static_cast<std::size_t>(o - out);
}
