// SPDX-License-Identifier: MIT
// The translator for processors with AVX2: 32 bytes a step, breaks found as bit masks, pairs
// resolved with mask arithmetic, and bytes dropped or LFs put in eight at a time through shuffle
// tables. Compiled with AVX2 enabled; runs only once the processor has said it has it.

#include <immintrin.h>

#include "convert/line_mode.h"
#include "convert/translate_kernels.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr char zero_byte = static_cast<char>(0x80); // a shuffle index that gives 0

// For each mask of 8 bits, shuffle indices that move the bytes whose bit is set to the front
// (`pack`), or that put an LF (byte 8 of the source) after each byte whose bit is set (`spread`).
struct shuffle_tables {
    alignas(16) char pack[256][16];
    alignas(16) char spread[256][16];
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
        for (; packed < 16; ++packed)
            tables.pack[mask][packed] = zero_byte;
        for (; spread < 16; ++spread)
            tables.spread[mask][spread] = zero_byte;
    }
    return tables;
}();

// One byte of 0xFF for each set bit of `mask`, byte i for bit i.
__m256i bytes_of_mask(std::uint32_t mask)
{
    const __m256i repeated = _mm256_shuffle_epi8(
        _mm256_set1_epi32(static_cast<int>(mask)),
        _mm256_setr_epi64x(0x0000000000000000LL, 0x0101010101010101LL, 0x0202020202020202LL, 0x0303030303030303LL));
    const __m256i bit = _mm256_set1_epi64x(0x7FBFDFEFF7FBFDFELL);
    return _mm256_cmpeq_epi8(_mm256_or_si256(repeated, bit), _mm256_set1_epi8(-1));
}

// The 8-byte groups of `chunk`, each in the low half of a register whose high half holds LFs.
struct groups {
    __m128i with_lf[4];
};

groups split_into_groups(__m256i chunk)
{
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    const __m128i low = _mm256_castsi256_si128(chunk);
    const __m128i high = _mm256_extracti128_si256(chunk, 1);
    return {{_mm_unpacklo_epi64(low, lfs), _mm_unpackhi_epi64(low, lfs), _mm_unpacklo_epi64(high, lfs),
             _mm_unpackhi_epi64(high, lfs)}};
}

// Whether most of the first chunks of a block hold no break: then branching around the packing
// and spreading pays, while in text the branch goes either way too often to predict.
bool breaks_are_rare(const unsigned char *in, std::size_t n)
{
    const __m256i crs = _mm256_set1_epi8(static_cast<char>(CR));
    const __m256i lfs = _mm256_set1_epi8(static_cast<char>(LF));
    unsigned with_breaks = 0, sampled = 0;
    for (; sampled < 32 && n - 32 * sampled >= 32; ++sampled) {
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 32 * sampled));
        with_breaks += _mm256_movemask_epi8(
                           _mm256_or_si256(_mm256_cmpeq_epi8(chunk, crs), _mm256_cmpeq_epi8(chunk, lfs))) != 0;
    }
    return with_breaks * 3 <= sampled;
}

template <line_mode mode, bool sparse>
std::size_t translate_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const __m256i crs = _mm256_set1_epi8(static_cast<char>(CR));
    const __m256i lfs = _mm256_set1_epi8(static_cast<char>(LF));
    const __m256i terminators = mode == MODE_MAC ? crs : lfs;
    const __m256i crlfs = _mm256_set1_epi16(CR | LF << 8);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    int completing = completing_byte(*state);
    while (end - p >= 32) {
        // The second byte of a pair that straddles two chunks: its terminator is already written.
        if (*p == completing) {
            ++p;
            completing = -1;
            continue;
        }
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i is_cr = _mm256_cmpeq_epi8(chunk, crs);
        const __m256i is_lf = _mm256_cmpeq_epi8(chunk, lfs);
        const auto cr = static_cast<std::uint32_t>(_mm256_movemask_epi8(is_cr));
        const auto lf = static_cast<std::uint32_t>(_mm256_movemask_epi8(is_lf));
        const std::uint32_t breaks = cr | lf;
        p += 32;
        const auto seconds = static_cast<std::uint32_t>(second_bytes_of_pairs(cr, lf));
        const std::uint32_t starters = breaks & ~seconds;
        const __m256i is_break = _mm256_or_si256(is_cr, is_lf);
        if constexpr (mode == MODE_DOS) {
            if (cr == ~0U || lf == ~0U) { // blank lines: 32 terminators
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), crlfs);
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + 32), crlfs);
                o += 64;
            } else {
                // A pair becomes CR LF where it stands; a lone break becomes CR with an LF put after.
                __m256i translated = _mm256_blendv_epi8(chunk, crs, is_break);
                translated = _mm256_blendv_epi8(translated, lfs, bytes_of_mask(seconds));
                const std::uint32_t lone = starters & ~(seconds >> 1);
                if (sparse && lone == 0) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), translated);
                    o += 32;
                } else {
                    const groups parts = split_into_groups(translated);
                    for (unsigned g = 0; g < 4; ++g) {
                        const unsigned mask = lone >> 8 * g & 0xFF;
                        const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i *>(shuffles.spread[mask]));
                        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(parts.with_lf[g], order));
                        o += 8 + __builtin_popcount(mask);
                    }
                }
            }
        } else {
            // Every break byte becomes the terminator; the second bytes of pairs are packed out.
            const __m256i translated = _mm256_blendv_epi8(chunk, terminators, is_break);
            if (sparse && seconds == 0) {
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), translated);
                o += 32;
            } else {
                const groups parts = split_into_groups(translated);
                const std::uint32_t keep = ~seconds;
                for (unsigned g = 0; g < 4; ++g) {
                    const unsigned mask = keep >> 8 * g & 0xFF;
                    const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i *>(shuffles.pack[mask]));
                    _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(parts.with_lf[g], order));
                    o += __builtin_popcount(mask);
                }
            }
        }
        completing = starters >> 31 ? (cr >> 31 ? LF : CR) : -1;
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

} // namespace

std::size_t translate_block_avx2(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const bool rare = breaks_are_rare(in, n);
    switch (current_mode) {
    case MODE_DOS:
        return (rare ? translate_chunks<MODE_DOS, true> : translate_chunks<MODE_DOS, false>)(in, n, out, state);
    case MODE_UNIX:
        return (rare ? translate_chunks<MODE_UNIX, true> : translate_chunks<MODE_UNIX, false>)(in, n, out, state);
    case MODE_MAC:
        return (rare ? translate_chunks<MODE_MAC, true> : translate_chunks<MODE_MAC, false>)(in, n, out, state);
    }
    return 0;
}
