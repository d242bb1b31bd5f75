// SPDX-License-Identifier: MIT
// The translator for processors with AVX-512 BW, VBMI and VBMI2: 64 bytes a step, breaks found as
// bit masks, pairs resolved with mask arithmetic, the output packed with vpcompressb or spread with
// vpexpandb. Compiled with those instruction sets enabled; runs only once the processor has said it
// has them.
//
// These loops are bound by how many instructions they issue, and most by those that make, move or
// read mask registers (on Zen 5 far fewer of those run at once than vector ones): so breaks are
// found with vector arithmetic wherever one mask then does for two compares, and the chunks most
// text is made of take the shortest way.

#include <immintrin.h>

#include "convert/kernels/kernels.h"
#include "convert/line_mode.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr std::uint64_t even_bits = 0x5555555555555555ULL;
constexpr std::uint64_t odd_bits = 0xAAAAAAAAAAAAAAAAULL;
constexpr std::uint64_t last_bit = 1ULL << 63;

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

// Byte indices that put before each byte of a chunk the byte before it: byte 0 takes byte 63 of the
// chunk before (first table), byte i the chunk's byte i - 1 (second table).
struct before_indices {
    alignas(64) unsigned char index[64];
};
constexpr before_indices shift_in = [] {
    before_indices indices{};
    for (unsigned i = 0; i < 64; ++i)
        indices.index[i] = static_cast<unsigned char>(i == 0 ? 63 : 63 + i);
    return indices;
}();

// Finds the second bytes of pairs chunk after chunk, carrying what a pair split between two needs.
struct pair_scan {
    __m512i previous;          // the chunk scanned last: its byte 63 stands before the next chunk
    std::uint64_t last_second; // 1 if that byte completed a pair
};

// A scan that goes on after a block that left `state`: only a break left open counts as the byte
// before, so any other stands in as 0.
inline pair_scan scan_after(break_state state)
{
    const int completing = completing_byte(state);
    return {_mm512_set1_epi8(static_cast<char>(completing < 0 ? 0 : completing ^ CR ^ LF)), 0};
}

// The second bytes of pairs in `chunk`, the chunk after those `scan` has seen.
inline std::uint64_t scan_seconds(pair_scan *scan, __m512i chunk)
{
    const __m512i crs = _mm512_set1_epi8(static_cast<char>(CR));
    const __m512i lfs = _mm512_set1_epi8(static_cast<char>(LF));
    const __m512i before = _mm512_permutex2var_epi8(scan->previous, _mm512_load_si512(shift_in.index), chunk);
    scan->previous = chunk;
    // A byte and the one before it are CR and LF in either order when the smaller is LF and the
    // larger CR: one mask for what would take four compares.
    const __m512i smaller_not_lf = _mm512_xor_si512(_mm512_min_epu8(chunk, before), lfs);
    const __m512i differs = _mm512_ternarylogic_epi64(smaller_not_lf, _mm512_max_epu8(chunk, before), crs,
                                                      0xF6); // a | (b ^ c)
    const std::uint64_t after_other = _mm512_testn_epi8_mask(differs, differs);
    std::uint64_t seconds = seconds_of_runs(after_other);
    // A run going on from the chunk before, whose byte before completed a pair: its parity flips.
    if (after_other & scan->last_second) [[unlikely]]
        seconds ^= after_other & ~(after_other + 1);
    scan->last_second = seconds >> 63;
    return seconds;
}

// The break that the chunks ending at `p` leave open, as completing_byte gives it.
inline int open_break(const pair_scan &scan, const unsigned char *in, const unsigned char *p, break_state state)
{
    if (p == in)
        return completing_byte(state);
    const unsigned char last = p[-1];
    return (last == CR || last == LF) && !scan.last_second ? last ^ CR ^ LF : -1;
}

// `v` with every break byte made `mode`'s terminator (CR for D, which adds the LFs itself), by
// vector arithmetic rather than through a mask.
template <line_mode mode>
inline __m512i terminators_for_breaks(__m512i v)
{
    const __m512i other = _mm512_set1_epi8(static_cast<char>(mode == MODE_UNIX ? CR : LF));
    const __m512i flip = _mm512_set1_epi32(CR ^ LF); // byte 0 of each lane, looked up by index 0
    const __m512i is_other = _mm512_min_epu8(_mm512_xor_si512(v, other), _mm512_set1_epi8(1)); // 0 where other
    return _mm512_xor_si512(v, _mm512_shuffle_epi8(flip, is_other));
}

// Whether, in the first chunks of a block, the costly step (packing out second bytes for U and M,
// putting LFs after lone breaks for D) is seldom needed: then a branch around it pays, as in DOS text
// converted to DOS, while where it goes either way too often, as in UNIX text to DOS, it is taken always.
template <line_mode mode>
bool packing_is_rare(const unsigned char *in, std::size_t n, break_state state)
{
    const __m512i crs = _mm512_set1_epi8(static_cast<char>(CR));
    const __m512i lfs = _mm512_set1_epi8(static_cast<char>(LF));
    pair_scan scan = scan_after(state);
    unsigned packed = 0, sampled = 0;
    for (; sampled < 32 && n - 64 * sampled >= 64; ++sampled) {
        const __m512i chunk = _mm512_loadu_si512(in + 64 * sampled);
        const std::uint64_t seconds = scan_seconds(&scan, chunk);
        const std::uint64_t breaks = _mm512_cmpeq_epi8_mask(chunk, crs) | _mm512_cmpeq_epi8_mask(chunk, lfs);
        // A pair split at the chunk's end makes its last break look lone; that happens seldom.
        const std::uint64_t lone = breaks & ~seconds & ~(seconds >> 1) & ~last_bit;
        packed += (mode == MODE_DOS ? lone : seconds) != 0;
    }
    return packed * 8 <= sampled;
}

// U and M: every break byte becomes the terminator and the second bytes of pairs are packed out.
template <line_mode mode, bool sparse>
std::size_t pack_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const unsigned char *p = in;
    unsigned char *o = out;
    pair_scan scan = scan_after(*state);
    for (std::size_t chunks = n / 64; chunks != 0; --chunks) {
        const __m512i chunk = _mm512_loadu_si512(p);
        p += 64;
        const std::uint64_t seconds = scan_seconds(&scan, chunk);
        const __m512i translated = terminators_for_breaks<mode>(chunk);
        if (sparse && seconds == 0) {
            _mm512_storeu_si512(o, translated);
            o += 64;
        } else {
            // Packed in a register, then stored: the storing form is microcoded on Zen 4.
            _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(~seconds, translated));
            o += 64;
            o -= __builtin_popcountll(seconds);
        }
    }
    return static_cast<std::size_t>(finish_bytewise(p, in + n, o, open_break(scan, in, p, *state), state) - out);
}

// D, a chunk of 64 lone breaks (blank lines): 64 terminators.
inline unsigned char *sixty_four_terminators(unsigned char *o)
{
    const __m512i crlfs = _mm512_set1_epi16(CR | LF << 8);
    _mm512_storeu_si512(o, crlfs);
    _mm512_storeu_si512(o + 64, crlfs);
    return o + 128;
}

// D, any chunk: every starter becomes CR LF and every second byte goes. The chunk, its breaks made
// CR, is interleaved half by half with LFs; each half keeps its bytes but the seconds, and the LFs
// after starters.
inline unsigned char *spread_any_chunk(__m512i chunk, std::uint64_t breaks, std::uint64_t seconds, unsigned char *o)
{
    const __m512i lfs = _mm512_set1_epi8(static_cast<char>(LF));
    const std::uint64_t starters = breaks & ~seconds;
    if (starters == ~0ULL)
        return sixty_four_terminators(o);
    const __m512i translated = terminators_for_breaks<MODE_MAC>(chunk);
    const std::uint64_t keep_low = _pdep_u64(~seconds, even_bits) | _pdep_u64(starters, odd_bits);
    const std::uint64_t keep_high = _pdep_u64(~seconds >> 32, even_bits) | _pdep_u64(starters >> 32, odd_bits);
    const __m512i low = _mm512_permutex2var_epi8(translated, _mm512_load_si512(interleave.half[0]), lfs);
    const __m512i high = _mm512_permutex2var_epi8(translated, _mm512_load_si512(interleave.half[1]), lfs);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep_low, low));
    o += __builtin_popcountll(keep_low);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep_high, high));
    return o + __builtin_popcountll(keep_high);
}

// D. Sparse: chunks of whole CR LF pairs, as in DOS text, stay as they are. Dense: chunks without a
// CR and with at most two LFs, as in UNIX text, become the chunk with a CR before each LF, in one
// expand. Neither needs the pair scan; every other chunk goes the general way.
template <bool sparse>
std::size_t spread_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const __m512i crs = _mm512_set1_epi8(static_cast<char>(CR));
    const __m512i lfs = _mm512_set1_epi8(static_cast<char>(LF));
    const unsigned char *p = in;
    unsigned char *o = out;
    pair_scan scan = scan_after(*state);
    // 1 while the byte before the chunk is an LF (sparse) or a CR (dense) that started a break: the
    // one break byte the shortcut of each must not let complete a pair unseen.
    std::uint64_t lf_open = *state == BREAK_AFTER_LF, cr_open = *state == BREAK_AFTER_CR;
    for (std::size_t chunks = n / 64; chunks != 0; --chunks) {
        const __m512i chunk = _mm512_loadu_si512(p);
        p += 64;
        const __mmask64 cr_mask = _mm512_cmpeq_epi8_mask(chunk, crs);
        const std::uint64_t lf = _mm512_cmpeq_epi8_mask(chunk, lfs);
        if constexpr (sparse) {
            // Every LF right after a CR and every CR right before an LF, none at the end and none
            // completing an LF left open before: whole CR LF pairs, which stay as they are.
            if (((lf ^ (static_cast<std::uint64_t>(cr_mask) << 1)) | ((cr_mask & lf_open) | (cr_mask >> 63))) == 0) {
                _mm512_storeu_si512(o, chunk);
                o += 64;
                scan.previous = chunk;
                scan.last_second = lf >> 63;
                lf_open = 0;
                continue;
            }
        } else {
            const std::uint64_t later_lf = lf & (lf - 1); // all but the first
            // No CR, no LF completing a CR before, at most two LFs and the second not at the end:
            // every LF is lone and gets its CR before it. The chunk's tail is stored first, where
            // the expand does not reach.
            if (_kortestz_mask64_u8(cr_mask, cr_mask) && ((lf & cr_open) | (later_lf & ((later_lf - 1) | last_bit))) == 0) {
                const std::uint64_t fillers = (lf & (0 - lf)) | (later_lf << 1);
                const std::size_t inserted = static_cast<std::size_t>(__builtin_popcountll(lf));
                _mm512_storeu_si512(o + inserted, chunk);
                _mm512_storeu_si512(o, _mm512_mask_expand_epi8(crs, ~fillers, chunk));
                o += 64 + inserted;
                scan.previous = chunk;
                scan.last_second = 0;
                cr_open = 0;
                continue;
            }
            if (lf == ~0ULL && !cr_open) { // blank UNIX lines, without the pair scan
                o = sixty_four_terminators(o);
                scan.previous = chunk;
                scan.last_second = 0;
                continue;
            }
        }
        const std::uint64_t cr = cr_mask;
        const std::uint64_t seconds = scan_seconds(&scan, chunk);
        const std::uint64_t starters = (cr | lf) & ~seconds;
        o = spread_any_chunk(chunk, cr | lf, seconds, o);
        if constexpr (sparse)
            lf_open = (starters & lf) >> 63;
        else
            cr_open = (starters & cr) >> 63;
    }
    return static_cast<std::size_t>(finish_bytewise(p, in + n, o, open_break(scan, in, p, *state), state) - out);
}

} // namespace

std::size_t translate_block_avx512(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    switch (current_mode) {
    case MODE_DOS:
        return (packing_is_rare<MODE_DOS>(in, n, *state) ? spread_chunks<true> : spread_chunks<false>)(in, n, out,
                                                                                                         state);
    case MODE_UNIX:
        return (packing_is_rare<MODE_UNIX>(in, n, *state) ? pack_chunks<MODE_UNIX, true>
                                                          : pack_chunks<MODE_UNIX, false>)(in, n, out, state);
    case MODE_MAC:
        return (packing_is_rare<MODE_MAC>(in, n, *state) ? pack_chunks<MODE_MAC, true>
                                                         : pack_chunks<MODE_MAC, false>)(in, n, out, state);
    }
    return 0;
}
