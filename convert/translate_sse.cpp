// SPDX-License-Identifier: MIT
// The translator for x86 processors with SSSE3, in 64-bit and 32-bit programs: 16 bytes a step,
// breaks found as bit masks, pairs resolved with mask arithmetic, and bytes dropped or LFs put in
// eight at a time through byte shuffles. Compiled with SSSE3 enabled; runs only once the processor
// has said it has it. Nothing here needs 64-bit registers, POPCNT or BMI.
//
// Text lines are longer than a chunk, so most chunks hold no break and the chunks that do mostly
// hold the shape of the whole text (whole CR LF pairs, or lone LFs): those take the shortest way.

#include <tmmintrin.h>

#include "convert/line_mode.h"
#include "convert/translate_kernels.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr char zero_byte = static_cast<char>(0x80); // a shuffle index that gives 0

// For each mask of 8 bits, shuffle indices that move the bytes whose bit is set to the front
// (`pack`), or that put an LF (byte 8 of the source) after each byte whose bit is set (`spread`),
// and the number of bits set, since this level has no POPCNT.
struct shuffle_tables {
    alignas(16) char pack[256][16];
    alignas(16) char spread[256][16];
    unsigned char count[256];
};
constexpr shuffle_tables shuffles = [] {
    shuffle_tables tables{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned packed = 0, spread = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if (mask >> i & 1)
                tables.pack[mask][packed++] = static_cast<char>(i);
            tables.spread[mask][spread++] = static_cast<char>(i);
            if (mask >> i & 1)
                tables.spread[mask][spread++] = 8;
        }
        tables.count[mask] = static_cast<unsigned char>(packed);
        for (; packed < 16; ++packed)
            tables.pack[mask][packed] = zero_byte;
        for (; spread < 16; ++spread)
            tables.spread[mask][spread] = zero_byte;
    }
    return tables;
}();

inline __m128i load(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
inline void store(unsigned char *o, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(o), v); }
inline __m128i order(const char (&indices)[16]) { return _mm_load_si128(reinterpret_cast<const __m128i *>(indices)); }

// One byte of 0xFF for each set bit of a 16-bit `mask`, byte i for bit i.
inline __m128i bytes_of_mask(unsigned mask)
{
    const __m128i repeated = _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(mask)),
                                              _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1));
    const __m128i bit = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    return _mm_cmpeq_epi8(_mm_and_si128(repeated, bit), bit);
}

// The break a chunk leaves open for the next one's first byte to complete, as completing_byte
// gives it: its last byte, if that started a break.
inline int open_after(const unsigned char *chunk_end, unsigned starters)
{
    return starters >> 15 ? chunk_end[-1] ^ (CR ^ LF) : -1;
}

// Stores `translated` without the bytes whose bit of `seconds` is set; returns the end.
inline unsigned char *pack(__m128i translated, unsigned seconds, unsigned char *o)
{
    const unsigned keep_low = ~seconds & 0xFF, keep_high = ~seconds >> 8 & 0xFF;
    _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(translated, order(shuffles.pack[keep_low])));
    o += shuffles.count[keep_low];
    const __m128i high = _mm_unpackhi_epi64(translated, translated);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(high, order(shuffles.pack[keep_high])));
    return o + shuffles.count[keep_high];
}

// Stores `translated` with an LF put after each byte whose bit of `lone` is set; returns the end.
inline unsigned char *spread(__m128i translated, unsigned lone, unsigned char *o)
{
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    const unsigned low = lone & 0xFF, high = lone >> 8;
    store(o, _mm_shuffle_epi8(_mm_unpacklo_epi64(translated, lfs), order(shuffles.spread[low])));
    o += 8 + shuffles.count[low];
    store(o, _mm_shuffle_epi8(_mm_unpackhi_epi64(translated, lfs), order(shuffles.spread[high])));
    return o + 8 + shuffles.count[high];
}

// Whether, in the first chunks of a block, the costly step (packing out second bytes for U and M,
// putting LFs after lone breaks for D) is seldom needed: then a branch around it pays, while where
// it goes either way too often to predict, it is taken always.
template <line_mode mode>
bool packing_is_rare(const unsigned char *in, std::size_t n)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    unsigned packed = 0, sampled = 0;
    for (; sampled < 64 && n - 16 * sampled >= 16; ++sampled) {
        const __m128i chunk = load(in + 16 * sampled);
        const auto cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, crs)));
        const auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lfs)));
        const auto seconds = static_cast<unsigned>(second_bytes_of_pairs(cr, lf));
        // A pair split at the chunk's end makes its last break look lone; that happens seldom.
        const unsigned lone = (cr | lf) & ~seconds & ~(seconds >> 1) & 0x7FFF;
        packed += (mode == MODE_DOS ? lone : seconds) != 0;
    }
    return packed * 4 <= sampled;
}

// U and M: every break byte becomes the terminator and the second bytes of pairs are packed out.
template <line_mode mode, bool sparse>
std::size_t pack_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    const __m128i threes = _mm_set1_epi8(CR - LF);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    int completing = completing_byte(*state);
    while (end - p >= 16) {
        // The second byte of a pair that straddles two chunks: its terminator is already written.
        if (*p == completing) {
            ++p;
            completing = -1;
            continue;
        }
        const __m128i chunk = load(p);
        const __m128i is_cr = _mm_cmpeq_epi8(chunk, crs);
        const __m128i is_lf = _mm_cmpeq_epi8(chunk, lfs);
        const auto breaks = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(is_cr, is_lf)));
        p += 16;
        if (sparse && breaks == 0) {
            store(o, chunk);
            o += 16;
            completing = -1;
            continue;
        }
        const auto cr = static_cast<unsigned>(_mm_movemask_epi8(is_cr));
        const unsigned lf = breaks ^ cr;
        const auto seconds = static_cast<unsigned>(second_bytes_of_pairs(cr, lf));
        // CR and LF differ by 3: the other break byte is moved onto the terminator.
        const __m128i translated = mode == MODE_UNIX ? _mm_sub_epi8(chunk, _mm_and_si128(is_cr, threes))
                                                     : _mm_add_epi8(chunk, _mm_and_si128(is_lf, threes));
        if (sparse && seconds == 0) {
            store(o, translated);
            o += 16;
        } else {
            o = pack(translated, seconds, o);
        }
        completing = open_after(p, breaks & ~seconds);
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

// D. Sparse: chunks of whole CR LF pairs (or none), as in DOS text, stay as they are. Dense: chunks
// without a CR, as in UNIX text, get a CR before each LF, without the pair scan. Every other chunk
// goes the general way: pairs become CR LF where they stand, lone breaks CR with an LF put after.
template <bool sparse>
std::size_t spread_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    const __m128i threes = _mm_set1_epi8(CR - LF);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    int completing = completing_byte(*state);
    while (end - p >= 16) {
        if (*p == completing) {
            ++p;
            completing = -1;
            continue;
        }
        const __m128i chunk = load(p);
        const __m128i is_cr = _mm_cmpeq_epi8(chunk, crs);
        const __m128i is_lf = _mm_cmpeq_epi8(chunk, lfs);
        const auto cr = static_cast<unsigned>(_mm_movemask_epi8(is_cr));
        const auto lf = static_cast<unsigned>(_mm_movemask_epi8(is_lf));
        p += 16;
        // The first byte completes nothing (skipped above), so every LF right after a CR and no CR
        // at the end means whole pairs.
        if (sparse && lf == cr << 1) {
            store(o, chunk);
            o += 16;
            completing = -1;
            continue;
        }
        // Every break byte becomes CR.
        __m128i translated = _mm_add_epi8(chunk, _mm_and_si128(is_lf, threes));
        if (!sparse && cr == 0) {
            o = spread(translated, lf, o);
            completing = lf >> 15 ? CR : -1;
            continue;
        }
        const auto seconds = static_cast<unsigned>(second_bytes_of_pairs(cr, lf));
        const unsigned starters = (cr | lf) & ~seconds;
        if (seconds != 0)
            translated = _mm_xor_si128(translated, _mm_and_si128(bytes_of_mask(seconds), _mm_set1_epi8(CR ^ LF)));
        o = spread(translated, starters & ~(seconds >> 1), o);
        completing = open_after(p, starters);
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

} // namespace

std::size_t translate_block_sse(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    switch (current_mode) {
    case MODE_DOS:
        return (packing_is_rare<MODE_DOS>(in, n) ? spread_chunks<true> : spread_chunks<false>)(in, n, out, state);
    case MODE_UNIX:
        return (packing_is_rare<MODE_UNIX>(in, n) ? pack_chunks<MODE_UNIX, true>
                                                  : pack_chunks<MODE_UNIX, false>)(in, n, out, state);
    case MODE_MAC:
        return (packing_is_rare<MODE_MAC>(in, n) ? pack_chunks<MODE_MAC, true>
                                                 : pack_chunks<MODE_MAC, false>)(in, n, out, state);
    }
    return 0;
}
