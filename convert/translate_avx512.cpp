// SPDX-License-Identifier: MIT
// The translator for processors with AVX-512 BW, VBMI and VBMI2: 64 bytes a step, breaks found as
// bit masks, pairs resolved with mask arithmetic, and the output packed with vpcompressb.
// Compiled with those instruction sets enabled; runs only once the processor has said it has them.

#include <immintrin.h>

#include "convert/line_mode.h"
#include "convert/translate_kernels.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr std::uint64_t even_bits = 0x5555555555555555ULL;
constexpr std::uint64_t odd_bits = 0xAAAAAAAAAAAAAAAAULL;

// Byte indices that interleave each half of a chunk with LFs (index 64 picks from the second
// table, all LF): byte 2i of half h is the chunk's byte 32h + i, byte 2i + 1 an LF to keep or drop.
struct interleave_indices {
    alignas(64) unsigned char half[2][64];
};
constexpr interleave_indices interleave = [] {
    interleave_indices indices{};
    for (unsigned h = 0; h < 2; ++h)
        for (unsigned i = 0; i < 64; ++i)
            indices.half[h][i] = static_cast<unsigned char>(i % 2 ? 64 : 32 * h + i / 2);
    return indices;
}();

// Whether, in the first chunks of a block, the costly step (packing out second bytes for U and M,
// putting LFs after lone breaks for D) is seldom needed: then a branch around it pays, as in DOS text
// converted to DOS, while where it goes either way too often, as in UNIX text to DOS, it is taken always.
template <line_mode mode>
bool packing_is_rare(const unsigned char *in, std::size_t n)
{
    const __m512i crs = _mm512_set1_epi8(static_cast<char>(CR));
    const __m512i lfs = _mm512_set1_epi8(static_cast<char>(LF));
    unsigned packed = 0, sampled = 0;
    for (; sampled < 32 && n - 64 * sampled >= 64; ++sampled) {
        const __m512i chunk = _mm512_loadu_si512(in + 64 * sampled);
        const std::uint64_t cr = _mm512_cmpeq_epi8_mask(chunk, crs);
        const std::uint64_t lf = _mm512_cmpeq_epi8_mask(chunk, lfs);
        const std::uint64_t seconds = second_bytes_of_pairs(cr, lf);
        // A pair split at the chunk's end makes its last break look lone; that happens seldom.
        const std::uint64_t lone = (cr | lf) & ~seconds & ~(seconds >> 1) & ~(1ULL << 63);
        packed += (mode == MODE_DOS ? lone : seconds) != 0;
    }
    return packed * 8 <= sampled;
}

template <line_mode mode, bool sparse>
std::size_t translate_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const __m512i crs = _mm512_set1_epi8(static_cast<char>(CR));
    const __m512i lfs = _mm512_set1_epi8(static_cast<char>(LF));
    const __m512i terminators = mode == MODE_MAC ? crs : lfs;
    const __m512i crlfs = _mm512_set1_epi16(CR | LF << 8);
    const __m512i low_index = _mm512_load_si512(interleave.half[0]);
    const __m512i high_index = _mm512_load_si512(interleave.half[1]);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    int completing = completing_byte(*state);
    while (end - p >= 64) {
        // The second byte of a pair that straddles two chunks: its terminator is already written.
        if (*p == completing) {
            ++p;
            completing = -1;
            continue;
        }
        const __m512i chunk = _mm512_loadu_si512(p);
        const std::uint64_t cr = _mm512_cmpeq_epi8_mask(chunk, crs);
        const std::uint64_t lf = _mm512_cmpeq_epi8_mask(chunk, lfs);
        const std::uint64_t breaks = cr | lf;
        p += 64;
        const std::uint64_t seconds = second_bytes_of_pairs(cr, lf);
        const std::uint64_t starters = breaks & ~seconds;
        if constexpr (mode == MODE_DOS) {
            if (cr == ~0ULL || lf == ~0ULL) { // blank lines: 64 terminators
                _mm512_storeu_si512(o, crlfs);
                _mm512_storeu_si512(o + 64, crlfs);
                o += 128;
            } else {
                // A pair becomes CR LF where it stands; a lone break becomes CR with an LF put after.
                const std::uint64_t lone = starters & ~(seconds >> 1);
                __m512i translated = _mm512_mask_blend_epi8(starters, chunk, crs);
                translated = _mm512_mask_blend_epi8(seconds, translated, lfs);
                if (sparse && lone == 0) { // pairs only: they stay where they stand
                    _mm512_storeu_si512(o, translated);
                    o += 64;
                } else {
                    const std::uint64_t keep_low = even_bits | _pdep_u64(lone, odd_bits);
                    const std::uint64_t keep_high = even_bits | _pdep_u64(lone >> 32, odd_bits);
                    const __m512i low = _mm512_permutex2var_epi8(translated, low_index, lfs);
                    const __m512i high = _mm512_permutex2var_epi8(translated, high_index, lfs);
                    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep_low, low));
                    o += 32 + __builtin_popcount(static_cast<std::uint32_t>(lone));
                    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep_high, high));
                    o += 32 + __builtin_popcount(static_cast<std::uint32_t>(lone >> 32));
                }
            }
        } else {
            // Every break byte becomes the terminator and the second bytes of pairs are packed out.
            // Compressed in a register, then stored: the storing form is microcoded on Zen 4.
            const __m512i translated = _mm512_mask_blend_epi8(breaks, chunk, terminators);
            if (sparse && seconds == 0) {
                _mm512_storeu_si512(o, translated);
                o += 64;
            } else {
                _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(~seconds, translated));
                o += 64 - __builtin_popcountll(seconds);
            }
        }
        const std::uint64_t last_started = starters >> 63;
        completing = last_started ? (cr >> 63 ? LF : CR) : -1;
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

} // namespace

std::size_t translate_block_avx512(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    switch (current_mode) {
    case MODE_DOS:
        return (packing_is_rare<MODE_DOS>(in, n) ? translate_chunks<MODE_DOS, true>
                                                 : translate_chunks<MODE_DOS, false>)(in, n, out, state);
    case MODE_UNIX:
        return (packing_is_rare<MODE_UNIX>(in, n) ? translate_chunks<MODE_UNIX, true>
                                                  : translate_chunks<MODE_UNIX, false>)(in, n, out, state);
    case MODE_MAC:
        return (packing_is_rare<MODE_MAC>(in, n) ? translate_chunks<MODE_MAC, true>
                                                 : translate_chunks<MODE_MAC, false>)(in, n, out, state);
    }
    return 0;
}
