// SPDX-License-Identifier: MIT
// The translator for x86 processors with SSSE3, in 64-bit and 32-bit programs: 32 bytes a step as
// two 16-byte vectors, pairs found by comparing each half with itself read a byte earlier (U, M)
// or from bit masks (D), and bytes dropped or CRs put in through byte shuffles. Compiled with SSSE3 enabled; runs only once the
// processor has said it has it. Nothing here needs 64-bit registers, POPCNT or BMI.
//
// Real text breaks about once per 32-byte step, with 0, 1 or 2 breaks in a step at random, so a
// branch on how many would go either way too often: the text loops take one way whatever the count
// (the 8-byte tables), and only blocks whose first steps show a shape that nearly always holds
// (long lines, DOS text, UNIX text, binary data) get a branch for it. Runs of whole CR LF pairs
// (DOS text, a pair split between two steps included), and to D of steps without a CR (UNIX text),
// go on in loops of their own that check each next step with a few vector compares: these loops
// are bound by instruction count, not by branches.

#include <tmmintrin.h>

#include "convert/kernels/kernels.h"
#include "convert/line_mode.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr char zero_byte = static_cast<char>(0x80); // a shuffle index that gives 0

// For each mask of 8 bits, shuffle indices that move the bytes whose bit is clear to the front
// (`pack`: 8 of them, so a row loads as one 64-bit half), or that put a CR (byte 8 of the source)
// before each byte whose bit is set (`spread`); and the lengths they leave, since this level has no
// POPCNT.
struct shuffle_tables {
    alignas(16) char spread[256][16];
    alignas(16) char drop_one[17][16];   // all bytes but byte i; for i = 16, all of them
    alignas(16) char repeat_one[17][16]; // byte i twice, then the rest moved up by one
    alignas(16) char pack[256][8];
    unsigned char kept[256];          // 8 less the bits set
    unsigned char spread_length[256]; // 8 and the bits set
};
constexpr shuffle_tables shuffles = [] {
    shuffle_tables tables{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned packed = 0, spread = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if (!(mask >> i & 1))
                tables.pack[mask][packed++] = static_cast<char>(i);
            if (mask >> i & 1)
                tables.spread[mask][spread++] = 8;
            tables.spread[mask][spread++] = static_cast<char>(i);
        }
        tables.kept[mask] = static_cast<unsigned char>(packed);
        tables.spread_length[mask] = static_cast<unsigned char>(16 - packed);
        for (; packed < 8; ++packed)
            tables.pack[mask][packed] = zero_byte;
        for (; spread < 16; ++spread)
            tables.spread[mask][spread] = zero_byte;
    }
    for (unsigned at = 0; at <= 16; ++at)
        for (unsigned i = 0; i < 16; ++i) {
            tables.drop_one[at][i] = static_cast<char>(i < at ? i : i + 1 < 16 ? i + 1 : 0x80);
            tables.repeat_one[at][i] = static_cast<char>(i <= at ? i : i - 1);
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

// Stores `translated` without the bytes whose bit of `seconds` is set; returns the end.
inline unsigned char *pack(__m128i translated, unsigned seconds, unsigned char *o)
{
    const std::size_t low = seconds & 0xFF, high = seconds >> 8 & 0xFF;
    const auto row = [](std::size_t mask) { return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(shuffles.pack[mask])); };
    _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(translated, row(low)));
    o += shuffles.kept[low];
    _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(_mm_unpackhi_epi64(translated, translated), row(high)));
    return o + shuffles.kept[high];
}

// Stores `translated` with a CR put before each byte whose bit of `lone` is set; returns the end.
inline unsigned char *spread(__m128i translated, unsigned lone, unsigned char *o)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const std::size_t low = lone & 0xFF, high = lone >> 8;
    store(o, _mm_shuffle_epi8(_mm_unpacklo_epi64(translated, crs), order(shuffles.spread[low])));
    o += shuffles.spread_length[low];
    store(o, _mm_shuffle_epi8(_mm_unpackhi_epi64(translated, crs), order(shuffles.spread[high])));
    return o + shuffles.spread_length[high];
}

// Stores `translated` without byte `at` (none for 16); returns the end.
inline unsigned char *drop_one(__m128i translated, unsigned seconds, unsigned char *o)
{
    const auto at = static_cast<unsigned>(__builtin_ctz(seconds | 1U << 16));
    store(o, _mm_shuffle_epi8(translated, order(shuffles.drop_one[at])));
    return o + 16 - (seconds != 0);
}

// Whether either 16-bit half of a mask has two bits or more set.
inline bool two_in_a_half(unsigned mask)
{
    const unsigned low = mask & 0xFFFF, high = mask >> 16;
    return ((low & (low - 1)) | (high & (high - 1))) != 0;
}

// Stores a step's two halves without the bytes whose bit of `dropped` is set. In `sparse` blocks
// (long lines) a half holds at most one such byte, dropped by one shuffle; in others (text as long
// as real text's, short lines) two in a half are too common to branch on, and the 8-byte tables
// serve any number with no branch.
template <bool sparse>
inline unsigned char *drop_step(__m128i low, __m128i high, unsigned dropped, unsigned char *o)
{
    if (sparse && !two_in_a_half(dropped)) [[likely]] {
        o = drop_one(low, dropped & 0xFFFF, o);
        return drop_one(high, dropped >> 16, o);
    }
    o = pack(low, dropped & 0xFFFF, o);
    return pack(high, dropped >> 16, o);
}

// Whether the step of `low` and `high` goes on a run of whole CR LF pairs: each LF right after a
// CR, the CRs of the step before (`crs_before`, as bytes) counted, and each CR right before an LF
// but perhaps the last, whose LF may open the next step. Gives the step's CRs as bytes, which U
// needs as the bytes to drop: there this form measured faster than pairs_stay's read of the input.
inline bool pairs_go_on(__m128i low, __m128i high, __m128i crs_before, __m128i *low_cr, __m128i *high_cr)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    *low_cr = _mm_cmpeq_epi8(low, crs);
    *high_cr = _mm_cmpeq_epi8(high, crs);
    // The CRs moved one byte on, the last one before onto the first byte, are the LFs.
    const __m128i low_odd = _mm_xor_si128(_mm_alignr_epi8(*low_cr, crs_before, 15), _mm_cmpeq_epi8(low, lfs));
    const __m128i high_odd = _mm_xor_si128(_mm_alignr_epi8(*high_cr, *low_cr, 15), _mm_cmpeq_epi8(high, lfs));
    return _mm_movemask_epi8(_mm_or_si128(low_odd, high_odd)) == 0;
}

// What the first steps of a block say about the rest, so each loop checks only for the steps that
// block is mostly made of: a branch pays only where it nearly always goes the same way.
struct block_sample {
    bool plain;       // most steps hold no break (binary data, very long lines)
    bool whole_pairs; // nearly every step holds whole CR LF pairs alone, or nothing (DOS text)
    bool sparse;      // nearly no half holds two bytes to drop (U, M) or two LFs to put a CR before (D)
    bool no_cr;       // nearly no step holds a CR (UNIX text)
};

template <line_mode mode>
block_sample sample_steps(const unsigned char *in, std::size_t n)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    unsigned with_breaks = 0, not_whole_pairs = 0, crowded = 0, with_cr = 0, sampled = 0;
    for (; sampled < 32 && n - 32 * sampled >= 32; ++sampled) {
        const __m128i low = load(in + 32 * sampled), high = load(in + 32 * sampled + 16);
        const auto cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, crs)) |
                                              _mm_movemask_epi8(_mm_cmpeq_epi8(high, crs)) << 16);
        const auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, lfs)) |
                                              _mm_movemask_epi8(_mm_cmpeq_epi8(high, lfs)) << 16);
        with_breaks += (cr | lf) != 0;
        // A pair split between two steps makes neither look whole here, but the pairs' loops take it.
        not_whole_pairs += (lf ^ cr << 1) >> 1 != 0;
        const unsigned work = mode == MODE_DOS ? lf : seconds_of_runs((cr & lf << 1) | (lf & cr << 1));
        crowded += two_in_a_half(work);
        with_cr += cr != 0;
    }
    // Sparse only where no sampled step has two in a half: in real text one step in seven has, and
    // a looser bar let one block in six through by chance, to a branch that went wrong as often.
    return {with_breaks * 3 <= sampled, not_whole_pairs * 8 <= sampled, crowded == 0, with_cr * 8 <= sampled};
}

// Looked up by a byte's low 4 bits, equal to the byte for CR and LF alone (0 for bytes from 0x80).
inline __m128i break_bytes_of(__m128i chunk)
{
    const __m128i break_bytes = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, LF, -1, -1, CR, -1, -1);
    return _mm_cmpeq_epi8(_mm_shuffle_epi8(break_bytes, chunk), chunk);
}

// The break bytes of `chunk` (as break_bytes_of gives them) whose byte before, in `before`, is the
// other break byte: they differ by CR ^ LF.
inline __m128i after_other_in(__m128i chunk, __m128i before, __m128i breaks)
{
    return _mm_and_si128(_mm_cmpeq_epi8(_mm_xor_si128(chunk, before), _mm_set1_epi8(CR ^ LF)), breaks);
}

// The second bytes of pairs in a step, given its bytes that follow the other break byte and
// whether the byte before it completed a pair (`*last_second`, updated).
inline unsigned seconds_after(unsigned after_other, unsigned *last_second)
{
    unsigned seconds = seconds_of_runs(after_other);
    // A run going on from the step before, whose byte before completed a pair: its parity flips.
    if (after_other & *last_second) [[unlikely]]
        seconds ^= after_other & ~(after_other + 1);
    *last_second = seconds >> 31;
    return seconds;
}

// `chunk` with every break byte (`breaks`) made the terminator: for M the greater of the two, for
// U the other moved down by CR - LF.
template <line_mode mode>
inline __m128i with_terminators(__m128i chunk, __m128i breaks)
{
    if constexpr (mode == MODE_MAC)
        return _mm_max_epu8(chunk, _mm_and_si128(breaks, _mm_set1_epi8(static_cast<char>(CR))));
    return _mm_sub_epi8(chunk, _mm_and_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(CR))), _mm_set1_epi8(CR - LF)));
}

// U and M, the step of `low` and `high` read at `at`, whose byte before must be readable: the
// terminators put in and the second bytes of pairs dropped. The pairs are found in the vector
// registers, each half compared with itself read a byte earlier, so only one mask reaches the
// scalar side, which bounds these loops.
template <line_mode mode, bool plain, bool sparse>
inline unsigned char *pack_step(const unsigned char *at, __m128i low, __m128i high, unsigned *last_second, unsigned char *o)
{
    const __m128i low_breaks = break_bytes_of(low);
    const auto low_after_other = static_cast<unsigned>(_mm_movemask_epi8(after_other_in(low, load(at - 1), low_breaks)));
    const __m128i high_breaks = break_bytes_of(high);
    const unsigned after_other = low_after_other | static_cast<unsigned>(_mm_movemask_epi8(after_other_in(high, load(at + 15), high_breaks))) << 16;
    const unsigned seconds = seconds_after(after_other, last_second);
    const __m128i low_out = with_terminators<mode>(low, low_breaks), high_out = with_terminators<mode>(high, high_breaks);
    // Binary data (`plain`) has a break in one step of four or five, a pair nearly never: only that
    // is branched on, the step translated whole and stored as it is.
    if (plain && seconds == 0) [[likely]] {
        store(o, low_out);
        store(o + 16, high_out);
        return o + 32;
    }
    return drop_step<sparse>(low_out, high_out, seconds, o);
}

// U and M, 32 bytes a step so the mask arithmetic serves two vectors: every break byte becomes the
// terminator and the second bytes of pairs are dropped. In DOS text (`pairs`) each pair's other
// byte is dropped from the step as read, without the pair scan or translating. In UNIX text
// (`cr_rare`) a step without a CR holds no pair: it is stored as it is, its LFs made CR for M.
template <line_mode mode, bool plain, bool pairs, bool cr_rare, bool sparse>
std::size_t pack_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    // Whether the byte before the step completed a pair, which flips the pairs of a run going on
    // from it; the byte itself each step reads again.
    unsigned last_second = 0;
    // Steps start before `stop`, so each has its 32 bytes.
    const unsigned char *const stop = n >= 32 ? end - 31 : in;
    // Each step reads the byte before it: the first reads a copy of itself after the break left
    // open before the block, if any.
    if (p < stop) {
        alignas(16) unsigned char first[48];
        first[15] = *state == BREAK_AFTER_CR ? CR : *state == BREAK_AFTER_LF ? LF : 0;
        __builtin_memcpy(first + 16, in, 32);
        o = pack_step<mode, plain, sparse>(first + 16, load(first + 16), load(first + 32), &last_second, o);
        p += 32;
    }
    while (p < stop) {
        MCA_STEP_BEGIN("step");
        __m128i low = load(p);
        __m128i high = load(p + 16);
        // No CR in the step, nor just before it for its first LF to complete: no pair. Such steps
        // go on in a loop of their own.
        if (cr_rare && p[-1] != CR) {
            const unsigned char *const from = p;
            while (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(low, crs), _mm_cmpeq_epi8(high, crs))) == 0) {
                MCA_STEP_BEGIN("no CR");
                // U has nothing to change in it.
                store(o, mode == MODE_MAC ? with_terminators<mode>(low, _mm_cmpeq_epi8(low, lfs)) : low);
                store(o + 16, mode == MODE_MAC ? with_terminators<mode>(high, _mm_cmpeq_epi8(high, lfs)) : high);
                o += 32;
                p += 32;
                if (p >= stop)
                    break;
                low = load(p);
                high = load(p + 16);
                MCA_STEP_END("no CR");
            }
            if (p != from) {
                last_second = 0; // its last byte, a lone LF at most, completed no pair
                continue;
            }
        }
        if constexpr (pairs) {
            const __m128i low_cr = _mm_cmpeq_epi8(low, crs), high_cr = _mm_cmpeq_epi8(high, crs);
            const auto cr = static_cast<unsigned>(_mm_movemask_epi8(low_cr) | _mm_movemask_epi8(high_cr) << 16);
            const auto lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, lfs)) |
                                                  _mm_movemask_epi8(_mm_cmpeq_epi8(high, lfs)) << 16);
            const unsigned lf_open = (p[-1] == LF) & ~last_second;
            // Whole CR LF pairs, none completing a break left open before, the last CR's LF perhaps
            // the next step's first byte: each pair's terminator is one of its bytes already, so the
            // other is dropped, without the pair scan. Such steps go on in a loop of their own.
            if (((lf ^ cr << 1) | (cr & lf_open)) == 0) {
                unsigned low_dropped = (mode == MODE_UNIX ? cr : lf) & 0xFFFF, high_dropped = (mode == MODE_UNIX ? cr : lf) >> 16;
                __m128i crs_before = high_cr; // the CRs of the step before, as bytes
                for (;;) {
                    MCA_STEP_BEGIN("pairs");
                    o = pack(low, low_dropped, o);
                    o = pack(high, high_dropped, o);
                    p += 32;
                    if (p >= stop)
                        break;
                    low = load(p);
                    high = load(p + 16);
                    __m128i run_low_cr, run_high_cr;
                    if (!pairs_go_on(low, high, crs_before, &run_low_cr, &run_high_cr))
                        break;
                    low_dropped = static_cast<unsigned>(_mm_movemask_epi8(mode == MODE_UNIX ? run_low_cr : _mm_cmpeq_epi8(low, lfs)));
                    high_dropped = static_cast<unsigned>(_mm_movemask_epi8(mode == MODE_UNIX ? run_high_cr : _mm_cmpeq_epi8(high, lfs)));
                    crs_before = run_high_cr;
                    MCA_STEP_END("pairs");
                }
                // The run ends on a pair or a plain byte, which leaves no break open, or on a CR
                // that may stand alone after all, read again.
                if (_mm_movemask_epi8(crs_before) >> 15) {
                    --p;
                    o -= mode == MODE_MAC;
                }
                // Every LF of the run completed a pair.
                last_second = p[-1] == LF;
                continue;
            }
        }
        o = pack_step<mode, plain, sparse>(p, low, high, &last_second, o);
        p += 32;
        MCA_STEP_END("step");
    }
    int completing = completing_byte(*state);
    if (p != in)
        completing = (p[-1] == CR || p[-1] == LF) && !last_second ? p[-1] ^ CR ^ LF : -1;
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

// Stores `chunk`, which has no CR and at most one LF, with a CR put before that LF: the chunk's
// last byte one further on, then the chunk with the LF repeated and its first copy made CR (by
// adding `lf_to_cr`, 3 at the LF). Returns the end.
inline unsigned char *insert_one(__m128i chunk, __m128i lf_to_cr, unsigned lf, unsigned char *o)
{
    const auto at = static_cast<unsigned>(__builtin_ctz(lf | 1U << 16));
    store(o + 1, chunk);
    store(o, _mm_add_epi8(_mm_shuffle_epi8(chunk, order(shuffles.repeat_one[at])), lf_to_cr));
    return o + 16 + (lf != 0);
}

// Whether the step at `p` goes on a run of whole CR LF pairs, for D: each LF right after a CR, the
// step's CRs read from the input one byte back (which must be there), each CR but perhaps the last
// right before an LF. Keeps nothing from the step before, so a 32-bit program holds it in registers.
inline bool pairs_stay(const unsigned char *p, __m128i low, __m128i high)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    const __m128i low_odd = _mm_xor_si128(_mm_cmpeq_epi8(load(p - 1), crs), _mm_cmpeq_epi8(low, lfs));
    const __m128i high_odd = _mm_xor_si128(_mm_cmpeq_epi8(load(p + 15), crs), _mm_cmpeq_epi8(high, lfs));
    return _mm_movemask_epi8(_mm_or_si128(low_odd, high_odd)) == 0;
}

// D, 32 bytes a step. In DOS text (`whole_pairs`) a step of whole CR LF pairs or no break stays as
// it is; a step without a CR gets a CR before each LF through the 8-byte tables, with no branch on
// how many, and in UNIX text (`unix_lines`) such steps go on in a loop. Neither needs the pair scan;
// every other step goes the general way: pairs become CR LF where they stand, lone breaks LF with a
// CR put before.
template <bool whole_pairs, bool unix_lines, bool sparse>
std::size_t spread_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const __m128i crs = _mm_set1_epi8(static_cast<char>(CR));
    const __m128i lfs = _mm_set1_epi8(static_cast<char>(LF));
    const __m128i threes = _mm_set1_epi8(CR - LF);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    int completing = completing_byte(*state);
    // Steps start before `stop`, so each has its 32 bytes.
    const unsigned char *const stop = n >= 32 ? end - 31 : in;
    while (p < stop) {
        MCA_STEP_BEGIN("step");
        // The second byte of a pair that straddles two steps: its terminator is already written.
        if (*p == completing) {
            ++p;
            completing = -1;
            continue;
        }
        __m128i low = load(p);
        __m128i high = load(p + 16);
        const __m128i low_cr = _mm_cmpeq_epi8(low, crs), high_cr = _mm_cmpeq_epi8(high, crs);
        const __m128i low_lf = _mm_cmpeq_epi8(low, lfs), high_lf = _mm_cmpeq_epi8(high, lfs);
        const auto cr = static_cast<unsigned>(_mm_movemask_epi8(low_cr) | _mm_movemask_epi8(high_cr) << 16);
        auto lf = static_cast<unsigned>(_mm_movemask_epi8(low_lf) | _mm_movemask_epi8(high_lf) << 16);
        // The first byte completes nothing (skipped above), so every LF right after a CR means
        // whole pairs, the last CR's LF perhaps the next step's first byte. They stay as they are,
        // in a loop of their own.
        if (whole_pairs && (lf ^ cr << 1) == 0) {
            for (;;) {
                MCA_STEP_BEGIN("dos");
                store(o, low);
                store(o + 16, high);
                o += 32;
                p += 32;
                if (p >= stop)
                    break;
                low = load(p);
                high = load(p + 16);
                if (!pairs_stay(p, low, high))
                    break;
                MCA_STEP_END("dos");
            }
            // The run ends on a pair or a plain byte, which leaves no break open, or on a CR that
            // may stand alone after all, read again.
            if (p[-1] == CR) {
                --p;
                --o;
            }
            completing = -1;
            continue;
        }
        if (cr == 0 && lf == ~0U) [[unlikely]] { // blank UNIX lines: 16 terminators for each chunk of them
            const __m128i crlfs = _mm_set1_epi16(CR | LF << 8);
            store(o, crlfs);
            store(o + 16, crlfs);
            store(o + 32, crlfs);
            store(o + 48, crlfs);
            o += 64;
            p += 32;
            while (end - p >= 16 && _mm_movemask_epi8(_mm_cmpeq_epi8(load(p), lfs)) == 0xFFFF) {
                store(o, crlfs);
                store(o + 16, crlfs);
                o += 32;
                p += 16;
            }
            completing = CR;
            continue;
        }
        if (cr == 0) {
            // Every LF lone (one completing a CR before was passed over above): a CR put before
            // it. In UNIX text steps without a CR go on in a loop of their own, which needs no check
            // of the first byte: only a CR could complete the LF before.
            for (;;) {
                MCA_STEP_BEGIN("unix");
                if (sparse && !two_in_a_half(lf)) [[likely]] {
                    o = insert_one(low, _mm_and_si128(_mm_cmpeq_epi8(low, lfs), threes), lf & 0xFFFF, o);
                    o = insert_one(high, _mm_and_si128(_mm_cmpeq_epi8(high, lfs), threes), lf >> 16, o);
                } else {
                    o = spread(low, lf & 0xFFFF, o);
                    o = spread(high, lf >> 16, o);
                }
                p += 32;
                MCA_STEP_END("unix");
                if (!unix_lines || p >= stop)
                    break;
                const __m128i next_low = load(p), next_high = load(p + 16);
                if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(next_low, crs), _mm_cmpeq_epi8(next_high, crs))) != 0)
                    break;
                low = next_low;
                high = next_high;
                lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, lfs)) |
                                           _mm_movemask_epi8(_mm_cmpeq_epi8(high, lfs)) << 16);
            }
            completing = CR | (static_cast<int>(lf >> 31) - 1);
            continue;
        }
        p += 32;
        // Every break byte becomes LF, then the first bytes of pairs CR; lone ones get a CR before.
        __m128i low_out = _mm_sub_epi8(low, _mm_and_si128(low_cr, threes));
        __m128i high_out = _mm_sub_epi8(high, _mm_and_si128(high_cr, threes));
        const auto seconds = seconds_of_runs((cr & lf << 1) | (lf & cr << 1));
        const unsigned starters = (cr | lf) & ~seconds;
        const unsigned firsts = starters & seconds >> 1;
        {
            // Without a branch on whether there are any: in mixed text about half the steps have.
            const __m128i lf_to_cr = _mm_set1_epi8(CR ^ LF);
            low_out = _mm_xor_si128(low_out, _mm_and_si128(bytes_of_mask(firsts & 0xFFFF), lf_to_cr));
            high_out = _mm_xor_si128(high_out, _mm_and_si128(bytes_of_mask(firsts >> 16), lf_to_cr));
        }
        const unsigned lone = starters & ~firsts;
        o = spread(low_out, lone & 0xFFFF, o);
        o = spread(high_out, lone >> 16, o);
        completing = (p[-1] ^ (CR ^ LF)) | (static_cast<int>(starters >> 31) - 1);
        MCA_STEP_END("step");
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

template <line_mode mode, bool plain, bool pairs, bool cr_rare>
block_loop pack_loop(bool sparse)
{
    return sparse ? pack_chunks<mode, plain, pairs, cr_rare, true> : pack_chunks<mode, plain, pairs, cr_rare, false>;
}

// The loop for `mode` that suits the first steps of the block.
template <line_mode mode>
std::size_t translate_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const block_sample sample = sample_steps<mode>(in, n);
    if constexpr (mode == MODE_DOS)
        return (sample.whole_pairs ? spread_chunks<true, false, false>
                : !sample.no_cr    ? spread_chunks<false, false, false>
                : sample.sparse    ? spread_chunks<false, true, true>
                                   : spread_chunks<false, true, false>)(in, n, out, state);
    else
        return (sample.plain         ? (sample.whole_pairs ? pack_loop<mode, true, true, false> : pack_loop<mode, true, false, false>)
                : sample.whole_pairs ? pack_loop<mode, false, true, false>
                : sample.no_cr       ? pack_loop<mode, false, false, true>
                                     : pack_loop<mode, false, false, false>)(sample.sparse)(in, n, out, state);
}

} // namespace

std::size_t translate_block_sse(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    return run_for_current_mode(translate_chunks<MODE_DOS>, translate_chunks<MODE_UNIX>, translate_chunks<MODE_MAC>, in,
                                n, out, state);
}
