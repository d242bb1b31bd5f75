// SPDX-License-Identifier: MIT
// The translator for processors with AVX2: 32 bytes a step, breaks found as bit masks, pairs
// resolved with mask arithmetic, and bytes dropped or put in through shuffle tables. Compiled with
// AVX2 enabled; runs only once the processor has said it has it.
//
// Like the AVX-512 loops these are bound by instruction count, and by stores, so the chunks most text
// is made of take the shortest way: whole CR LF pairs are checked without the pair scan, and so in U
// and M are chunks without a CR (UNIX text, which they store as it is or with CRs for LFs); in U and M
// the bytes to drop from a chunk are packed out in the register, each stretch after a dropped byte
// blended in from the input read that many bytes later, and the chunk stored once; in D a chunk with
// one CR to put in is stored, then the input from there stored again over it, shifted by one, and in
// real text, where the count goes either way, a chunk with up to two is built in a register and
// stored whole; one per 16-byte lane goes through a small shuffle table; only crowded chunks go
// through 8-byte groups. Sampling the first chunks of a block picks the loop whose shortcuts its
// chunks mostly fit. Masks stay 32 bits wide, so that a 32-bit program runs the same code.

#include <immintrin.h>

#include "convert/kernels/kernels.h"
#include "convert/line_mode.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr char zero_byte = static_cast<char>(0x80); // a shuffle index that gives 0
constexpr std::uint32_t last_bit = 1U << 31;
constexpr unsigned no_byte = 16; // the table row of a lane with nothing to drop or put in

// For each mask of 8 bits, shuffle indices that move the bytes whose bit is set to the front, from
// the low 8 bytes of a register (`pack_low`) or its high 8 (`pack_high`), or that put an LF (byte 8
// of the source) after each byte whose bit is set (`spread`). The pack rows are 8 bytes, so that a
// mask indexes them without a shift; each is read with the next row after it, whose indices shuffle
// only bytes that are not stored (hence one row more).
struct group_tables {
    alignas(16) char pack_low[257][8];
    alignas(16) char pack_high[257][8];
    alignas(16) char spread[256][16];
};
constexpr group_tables groups = [] {
    group_tables tables{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned packed = 0, spread = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if (mask >> i & 1) {
                tables.pack_low[mask][packed] = static_cast<char>(i);
                tables.pack_high[mask][packed++] = static_cast<char>(8 + i);
            }
            tables.spread[mask][spread++] = static_cast<char>(i);
            if (mask >> i & 1)
                tables.spread[mask][spread++] = 8;
        }
        for (; packed < 8; ++packed)
            tables.pack_low[mask][packed] = tables.pack_high[mask][packed] = zero_byte;
        for (; spread < 16; ++spread)
            tables.spread[mask][spread] = zero_byte;
    }
    return tables;
}();

// For each place k in a 16-byte lane (16 for none), shuffle indices that drop byte k (`drop`), and
// that repeat byte k, an LF, with `make_cr` turning its first copy into a CR (`put_cr`).
struct lane_tables {
    alignas(16) char drop[17][16];
    alignas(16) char put_cr[17][16];
    alignas(16) char make_cr[17][16];
};
constexpr lane_tables lanes = [] {
    lane_tables tables{};
    for (unsigned k = 0; k <= no_byte; ++k)
        for (unsigned i = 0; i < 16; ++i) {
            tables.drop[k][i] = static_cast<char>(i < k ? i : i + 1 < 16 ? i + 1 : 0x80);
            tables.put_cr[k][i] = static_cast<char>(i <= k ? i : i - 1);
            tables.make_cr[k][i] = static_cast<char>(i == k ? CR ^ LF : 0);
        }
    return tables;
}();

// 32 bytes of 0 then 32 of 0xFF: the 32 read from 32 - k on mark a chunk's bytes from place k on.
struct ramp_table {
    alignas(64) unsigned char bytes[64];
};
constexpr ramp_table ramp = [] {
    ramp_table table{};
    for (unsigned i = 32; i < 64; ++i)
        table.bytes[i] = 0xFF;
    return table;
}();

// A mask of the bytes of a chunk from place k on; none for k = 32.
inline __m256i bytes_from(unsigned k)
{
    const std::uint32_t from_end = 32 - k; // 32-bit arithmetic, which a 64-bit index needs no widening of
    __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ramp.bytes + from_end));
    // GCC 12 would compare the loaded mask with 0 before blending by it, an instruction more.
    asm("" : "+x"(mask));
    return mask;
}

// The chunk at `p` (`chunk`, and `after`, read a byte later) with the bytes of `drop` taken out, the
// rest packed to the front, in the register: the bytes after the j-th dropped one come from the input
// read j bytes later, so one store takes the chunk whatever the count. The first `most` are taken
// without a branch, any more after a rarely taken one. Bytes past 32 minus the count are left over.
// Reads up to p + 64.
template <unsigned most>
inline __m256i without_drops(const unsigned char *p, __m256i chunk, __m256i after, std::uint32_t drop)
{
    __m256i packed = _mm256_blendv_epi8(chunk, after, bytes_from(_tzcnt_u32(drop)));
    std::uint32_t rest = _blsr_u32(drop);
    if (most >= 2) {
        // The second one's place among the packed bytes is one less; none (32) stays none.
        packed = _mm256_blendv_epi8(packed, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 2)),
                                    bytes_from(_tzcnt_u32(rest >> 1)));
        rest = _blsr_u32(rest);
    }
    if (rest != 0) [[unlikely]] {
        for (unsigned j = most + 1; rest != 0; rest = _blsr_u32(rest), ++j)
            packed = _mm256_blendv_epi8(packed, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + j)),
                                        bytes_from(_tzcnt_u32(rest >> (j - 1))));
    }
    return packed;
}

// One byte of 0xFF for each set bit of `mask`, byte i for bit i.
__m256i bytes_of_mask(std::uint32_t mask)
{
    const __m256i repeated = _mm256_shuffle_epi8(
        _mm256_set1_epi32(static_cast<int>(mask)),
        _mm256_setr_epi64x(0x0000000000000000LL, 0x0101010101010101LL, 0x0202020202020202LL, 0x0303030303030303LL));
    const __m256i bit = _mm256_set1_epi64x(0x7FBFDFEFF7FBFDFELL);
    return _mm256_cmpeq_epi8(_mm256_or_si256(repeated, bit), _mm256_set1_epi8(-1));
}

// The masks of one chunk: bit i for byte i.
struct chunk_masks {
    std::uint32_t cr, lf;
};

inline chunk_masks masks_of(__m256i chunk)
{
    return {static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, _mm256_set1_epi8(CR)))),
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, _mm256_set1_epi8(LF))))};
}

// 0xFF for each break byte of `chunk`: looked up by a byte's low 4 bits, a table equal to the byte
// for CR and LF alone (0 for bytes from 0x80).
inline __m256i breaks_of(__m256i chunk)
{
    const __m256i break_bytes = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, LF, -1, -1, CR, -1, -1,
                                                 -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, LF, -1, -1, CR, -1, -1);
    return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(break_bytes, chunk), chunk);
}

// 0xFF for each break byte of the chunk at `at` whose byte before differs from it by CR ^ LF: the
// other break byte. These are the seconds of pairs but in runs of three breaks or more.
inline __m256i after_other_at(const unsigned char *at, __m256i chunk, __m256i is_break)
{
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at - 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_xor_si256(chunk, before), _mm256_set1_epi8(CR ^ LF)), is_break);
}

// Finds the second bytes of pairs chunk after chunk from the masks alone: what the chunk before
// left is its last byte, not whether that byte completed a pair, so no chunk waits for the one
// before to be scanned but in the rare run of breaks that crosses between them.
struct pair_scan {
    std::uint32_t cr_before, lf_before; // 1 if the byte before the chunk is a CR, an LF
    std::uint32_t last_second;          // 1 if that byte completed a pair
};

// A scan that goes on after a block that left `state`: only a break left open counts as the byte before.
inline pair_scan scan_after(break_state state)
{
    return {state == BREAK_AFTER_CR ? 1U : 0U, state == BREAK_AFTER_LF ? 1U : 0U, 0};
}

// The second bytes of pairs in the chunk of `m`, the chunk after those `scan` has seen.
inline std::uint32_t scan_seconds(pair_scan *scan, chunk_masks m)
{
    const std::uint32_t after_other = (m.cr & ((m.lf << 1) | scan->lf_before)) | (m.lf & ((m.cr << 1) | scan->cr_before));
    std::uint32_t seconds = seconds_of_runs(after_other);
    // A run going on from the chunk before, whose byte before completed a pair: its parity flips.
    if (after_other & scan->last_second) [[unlikely]]
        seconds ^= after_other & ~(after_other + 1);
    *scan = {m.cr >> 31, m.lf >> 31, seconds >> 31};
    return seconds;
}

// The same for text whose breaks stand apart, one or one pair at a time: each byte after the other
// break byte is a second then, unless a run of three or more says otherwise.
inline std::uint32_t scan_seconds_apart(pair_scan *scan, chunk_masks m)
{
    const std::uint32_t after_other = (m.cr & ((m.lf << 1) | scan->lf_before)) | (m.lf & ((m.cr << 1) | scan->cr_before));
    if ((after_other & ((after_other << 1) | scan->last_second)) != 0) [[unlikely]]
        return scan_seconds(scan, m);
    *scan = {m.cr >> 31, m.lf >> 31, after_other >> 31};
    return after_other;
}

// The break that the chunks ending at `p` leave open, as completing_byte gives it.
inline int open_break(const pair_scan &scan, const unsigned char *in, const unsigned char *p, break_state state)
{
    if (p == in)
        return completing_byte(state);
    const unsigned char last = p[-1];
    return (last == CR || last == LF) && !scan.last_second ? last ^ CR ^ LF : -1;
}

// Every LF right after a CR and every CR right before an LF, none at the chunk's end and none
// completing an LF left open before: whole CR LF pairs, as DOS text is made of.
inline bool whole_pairs(chunk_masks m, const pair_scan &scan)
{
    const std::uint32_t lf_open = scan.lf_before & ~scan.last_second;
    return ((m.lf ^ (m.cr << 1)) | (m.cr & lf_open) | (m.cr >> 31)) == 0;
}

// Whether each 16-bit half of `mask` has at most one bit set.
inline bool one_per_lane(std::uint32_t mask)
{
    const std::uint32_t low = mask & 0xFFFF, high = mask >> 16;
    return ((low & (low - 1)) | (high & (high - 1))) == 0;
}

// The place of the set bit in a 16-bit lane of at most one, or no_byte.
inline unsigned place_in_lane(std::uint32_t lane) { return static_cast<unsigned>(__builtin_ctz(lane | 1U << no_byte)); }

inline __m128i lane_row(const char (&row)[16]) { return _mm_load_si128(reinterpret_cast<const __m128i *>(row)); }
inline __m128i pack_row(const char (&row)[8]) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(row)); }

// `translated` without the bytes of `drop`, at most one per lane; returns the end of the output.
inline unsigned char *drop_one_per_lane(__m256i translated, std::uint32_t drop, unsigned char *o)
{
    const __m128i low = _mm_shuffle_epi8(_mm256_castsi256_si128(translated), lane_row(lanes.drop[place_in_lane(drop & 0xFFFF)]));
    const __m128i high = _mm_shuffle_epi8(_mm256_extracti128_si256(translated, 1), lane_row(lanes.drop[place_in_lane(drop >> 16)]));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(o), low);
    o += 16 - ((drop & 0xFFFF) != 0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(o), high);
    return o + 16 - (drop >> 16 != 0);
}

// `translated` without the bytes of `drop`, through 8-byte groups.
inline unsigned char *drop_by_groups(__m256i translated, std::uint32_t drop, unsigned char *o)
{
    const std::uint32_t keep = ~drop;
    const __m128i halves[2] = {_mm256_castsi256_si128(translated), _mm256_extracti128_si256(translated, 1)};
    for (unsigned h = 0; h < 2; ++h) {
        const unsigned low = keep >> 16 * h & 0xFF, high = keep >> (16 * h + 8) & 0xFF;
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(halves[h], pack_row(groups.pack_low[low])));
        o += __builtin_popcount(low);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(halves[h], pack_row(groups.pack_high[high])));
        o += __builtin_popcount(high);
    }
    return o;
}

// Whether the program has 16 vector registers, not 8 as a 32-bit one: enough to find the next
// chunk's masks before this one's work without spilling.
constexpr bool many_registers = sizeof(void *) == 8;

// How the chunks a block starts with are made, sampled to pick the loop that suits them.
enum class density { plain, rare, pairs, few, crowded };

// The loop's density; whether its chunks (U, M) pack one dropped byte without a branch, or two: one
// where nearly no chunk has two (long lines), as in real text, where one chunk in five has two or
// more, the branch for a second would go the wrong way too often; whether D branches on the count
// of LFs a chunk widens (long lines) or builds up to two in a register; and for D whether a CR is in
// three chunks in eight or more (mixed text), where a branch on it would go either way.
struct block_shape {
    density kind;
    bool by_count;
    bool often_cr;
};

// Plain (U, M): no chunk has a CR, as in UNIX text. Rare: most chunks have nothing to drop (U, M)
// or to put in (D). Pairs: nearly all are whole CR LF pairs, as in DOS text. Few: at most one per
// lane, as in other text with lines longer than a lane. Crowded: short lines, where only the 8-byte
// groups serve. A shortcut taken in some chunks only costs a mispredicted branch in the others, so
// each loop takes only those its chunks mostly fit.
template <line_mode mode>
block_shape sample_density(const unsigned char *in, std::size_t n, break_state state)
{
    pair_scan scan = scan_after(state);
    unsigned with_work = 0, whole = 0, crowded = 0, several = 0, with_cr = 0, sampled = 0;
    for (; sampled < 32 && n - 32 * sampled >= 32; ++sampled) {
        const chunk_masks m = masks_of(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 32 * sampled)));
        whole += whole_pairs(m, scan);
        const std::uint32_t seconds = scan_seconds(&scan, m);
        // A pair split at the chunk's end makes its last break look lone; that happens seldom.
        const std::uint32_t work = mode == MODE_DOS ? (m.cr | m.lf) & ~seconds & ~(seconds >> 1) & ~last_bit : seconds;
        with_work += work != 0;
        crowded += !one_per_lane(work);
        several += (work & (work - 1)) != 0;
        with_cr += m.cr != 0;
    }
    // D's register form loses to its one-LF shortcut sooner than U and M's second blend does. In
    // real text one chunk in five has two or more; allowing three of 32 sent one block in fourteen
    // to the branch on the count by chance, two of 32 one in sixty.
    const unsigned several_allowed = mode == MODE_DOS ? 16 : 32;
    const bool by_count = several * several_allowed <= sampled, often_cr = with_cr * 8 > sampled * 3;
    if (with_work * 8 <= sampled)
        return {mode != MODE_DOS && with_cr == 0 ? density::plain : density::rare, by_count, often_cr};
    if (crowded * 4 > sampled)
        return {density::crowded, by_count, often_cr};
    return {whole * 8 >= sampled * 7 ? density::pairs : density::few, by_count, often_cr};
}

// Whether pair_run may start at the chunk of `m`: its first byte is no LF (which would be a pair's
// second that U keeps there) and no CR that completes an LF left open. The rest of each chunk is
// checked in pair_run.
inline bool pairs_from_here(chunk_masks m, const pair_scan &scan)
{
    return ((m.lf | (m.cr & scan.lf_before & ~scan.last_second)) & 1) == 0;
}

// From `*at` up to `last`, the chunks in which every CR has an LF right after it and every LF a CR
// right before it, the last LF perhaps in the next chunk: whole CR LF pairs, as DOS text is made
// of. Each chunk is checked in vector registers; D stores it as it is, U and M pack its other bytes
// out in them and store it once (`most` 0: through 8-byte groups, for short lines). Returns the end
// of the output and leaves `*at` at the first chunk that is not so.
template <line_mode mode, unsigned most>
unsigned char *pair_run(const unsigned char **at, const unsigned char *last, unsigned char *o)
{
    const __m256i crs = _mm256_set1_epi8(static_cast<char>(CR));
    const __m256i lfs = _mm256_set1_epi8(static_cast<char>(LF));
    const unsigned char *p = *at;
    const __m256i drops = mode == MODE_MAC ? lfs : crs;
    const auto drops_in = [drops](const unsigned char *from) {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(from)), drops)));
    };
    // U and M in real text find each chunk's bytes to drop a chunk ahead (the loop reads up to 64
    // bytes on anyway): the rare branch on a third one is then decided on a mask that is ready,
    // and taken the wrong way throws less work away.
    constexpr bool ahead = mode != MODE_DOS && most == 2;
    std::uint32_t drop_ahead = ahead ? drops_in(p) : 0;
    do {
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
        const __m256i is_cr = _mm256_cmpeq_epi8(chunk, crs);
        const __m256i unpaired = _mm256_xor_si256(is_cr, _mm256_cmpeq_epi8(after, lfs));
        if (!_mm256_testz_si256(unpaired, unpaired))
            break;
        [[maybe_unused]] const std::uint32_t drop = ahead ? drop_ahead : drops_in(p);
        if constexpr (ahead)
            drop_ahead = drops_in(p + 32);
        if constexpr (mode == MODE_DOS) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), chunk);
            o += 32;
        } else if constexpr (most == 0) {
            o = drop_by_groups(chunk, drop, o);
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), without_drops<most>(p, chunk, after, drop));
            o += 32;
            o -= static_cast<std::uint32_t>(__builtin_popcount(drop));
        }
        p += 32;
    } while (p < last);
    // U took out the CR of a pair whose LF is next, which the loop after would take out too, and D
    // stored it without its LF: the loop after starts at that CR instead.
    if (mode != MODE_MAC && p != *at && p[-1] == CR) {
        --p;
        o -= mode == MODE_DOS;
    }
    *at = p;
    return o;
}

// The scan of the chunk at `p`, from the byte before it, which completed a pair if `last_second`.
inline pair_scan scan_at(const unsigned char *p, std::uint32_t last_second) { return {p[-1] == CR, p[-1] == LF, last_second}; }

// The scan after a run that pair_run took up to `p`: the byte before ended a pair or was no break,
// or is a CR whose LF is next (M).
inline pair_scan scan_after_run(const unsigned char *p) { return scan_at(p, p[-1] == LF); }

// U and M, the chunk at `p` without `seconds`, the second bytes of its pairs, every break byte made
// the terminator (once packed, wherever each came from), in one store. Reads up to p + 64.
template <line_mode mode, unsigned most>
inline unsigned char *pack_chunk(const unsigned char *p, __m256i chunk, std::uint32_t seconds, unsigned char *o)
{
    const __m256i terminators = _mm256_set1_epi8(static_cast<char>(mode == MODE_MAC ? CR : LF));
    const __m256i others = _mm256_set1_epi8(static_cast<char>(mode == MODE_MAC ? LF : CR));
    const __m256i packed = without_drops<most>(p, chunk, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1)), seconds);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), _mm256_blendv_epi8(packed, terminators, _mm256_cmpeq_epi8(packed, others)));
    o += 32;
    return o - static_cast<std::uint32_t>(__builtin_popcount(seconds));
}

// U and M: every break byte becomes the terminator and the second bytes of pairs are dropped.
template <line_mode mode, density kind, bool by_count>
std::size_t pack_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    // Only the other break byte needs replacing: the terminator's own bytes already are one.
    const __m256i terminators = _mm256_set1_epi8(static_cast<char>(mode == MODE_MAC ? CR : LF));
    const __m256i others = _mm256_set1_epi8(static_cast<char>(mode == MODE_MAC ? LF : CR));
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    pair_scan scan = scan_after(*state);
    // Dropped bytes packed without a branch: one in long lines, two in real text.
    constexpr unsigned most = by_count ? 1 : 2;
    // A chunk packed in the register reads up to 64 bytes on from its start, so these loops leave
    // the last two chunks' worth to the loop after.
    if constexpr (kind == density::pairs || kind == density::few) {
        for (const unsigned char *const last = n > 64 ? end - 64 : in; p < last;) {
            const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
            const chunk_masks m = masks_of(chunk);
            // Whole pairs: each pair's other byte dropped leaves the terminator. The run of them
            // goes on in a loop of its own that needs no pair scan and keeps few values live, as a
            // 32-bit program has few registers.
            if (kind == density::pairs && pairs_from_here(m, scan)) {
                const unsigned char *const from = p;
                o = pair_run<mode, most>(&p, last, o);
                if (p != from) {
                    scan = scan_after_run(p);
                    continue;
                }
            }
            o = pack_chunk<mode, most>(p, chunk, scan_seconds_apart(&scan, m), o);
            p += 32;
            if (kind == density::few)
                break;
        }
    }
    if constexpr (kind == density::few) {
        // Once a chunk is behind, the pairs come from comparing each chunk with itself read one
        // byte earlier, in vector registers: the scalar side, which bounds these loops, then
        // has only one mask to work on.
        std::uint32_t last_second = scan.last_second;
        const auto seconds_at = [](const unsigned char *at) {
            const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
            return static_cast<std::uint32_t>(_mm256_movemask_epi8(after_other_at(at, chunk, breaks_of(chunk))));
        };
        // Each chunk reads the byte before it, so none goes first. A 64-bit program finds each
        // chunk's pairs a chunk ahead, as pair_run does; a 32-bit one would spill for it.
        const unsigned char *const last = p > in && n > 64 ? end - 64 : p;
        for (std::uint32_t next = many_registers && p < last ? seconds_at(p) : 0; p < last; p += 32) {
            std::uint32_t seconds = many_registers ? next : seconds_at(p);
            if constexpr (many_registers)
                next = seconds_at(p + 32);
            const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
            // A run of three breaks or more, or one going on from a pair the chunk before ended
            // with: the pair scan decides.
            if ((seconds & ((seconds << 1) | last_second)) != 0) [[unlikely]] {
                pair_scan runs = scan_at(p, last_second);
                seconds = scan_seconds(&runs, masks_of(chunk));
            }
            last_second = seconds >> 31;
            o = pack_chunk<mode, most>(p, chunk, seconds, o);
        }
        if (p > in)
            scan = scan_at(p, last_second);
    }
    [[maybe_unused]] const unsigned char *const last_run = n > 64 ? end - 64 : in;
    while (end - p >= 32) {
        if constexpr (kind == density::plain) {
            // UNIX text: a chunk without a CR, with no CR left open before it, holds no pair. U
            // stores it as it is, M with its LFs made CR, with no pair scan.
            if ((scan.cr_before & ~scan.last_second) == 0) {
                const unsigned char *const from = p;
                do {
                    const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
                    const __m256i is_cr = _mm256_cmpeq_epi8(chunk, _mm256_set1_epi8(static_cast<char>(CR)));
                    if (!_mm256_testz_si256(is_cr, is_cr))
                        break;
                    const __m256i translated =
                        mode == MODE_MAC ? _mm256_blendv_epi8(chunk, terminators, _mm256_cmpeq_epi8(chunk, others)) : chunk;
                    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), translated);
                    o += 32;
                    p += 32;
                } while (end - p >= 32);
                if (p != from) {
                    scan = {0, p[-1] == LF, 0};
                    continue;
                }
            }
        }
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const chunk_masks m = masks_of(chunk);
        if constexpr (kind == density::crowded) {
            // Short DOS lines: whole pairs, each pair's other byte dropped, a pair split between two
            // chunks included.
            if (const unsigned char *const from = p; p < last_run && pairs_from_here(m, scan)) {
                o = pair_run<mode, 0>(&p, last_run, o);
                if (p != from) {
                    scan = scan_after_run(p);
                    continue;
                }
            }
        }
        p += 32;
        const std::uint32_t seconds = scan_seconds(&scan, m);
        const __m256i translated = _mm256_blendv_epi8(chunk, terminators, _mm256_cmpeq_epi8(chunk, others));
        if ((kind == density::plain || kind == density::rare) && seconds == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), translated);
            o += 32;
        } else if (kind != density::crowded && one_per_lane(seconds)) {
            o = drop_one_per_lane(translated, seconds, o);
        } else {
            o = drop_by_groups(translated, seconds, o);
        }
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, open_break(scan, in, p, *state), state) - out);
}

// D, a chunk of 32 lone breaks (blank lines): 32 terminators.
inline unsigned char *thirty_two_terminators(unsigned char *o)
{
    const __m256i crlfs = _mm256_set1_epi16(CR | LF << 8);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), crlfs);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + 32), crlfs);
    return o + 64;
}

// D, a chunk at `p` without a CR whose one lone LF, if any, is at `k` (32 for none): the chunk is
// stored, then from k + 1 the 32 bytes from the LF on, read again from the input, which must hold
// them, and the CR before them.
inline unsigned char *cr_before_one_lf(__m256i chunk, const unsigned char *p, unsigned k, unsigned char *o)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), chunk);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + k + 1), _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + k)));
    o[k] = CR;
    return o + 32 + (k != 32);
}

// D, a chunk at `p` without a CR whose LFs are all lone (real text), with no branch on whether it
// has 0, 1 or 2: the chunk is stored, then for each of its first two LFs the 32 bytes from that LF
// on, read again from the input (which must hold 64 bytes from `p`), one byte further on each
// time, with a CR before them. Where there is no such LF the stores land past the chunk's output,
// under the next chunk's. Three LFs or more are rare (one chunk in twenty).
// Out of line, so that a 32-bit program's loop keeps nothing of it live.
[[gnu::noinline]] unsigned char *cr_before_lfs(__m256i chunk, const unsigned char *p, std::uint32_t lf, unsigned char *o)
{
    unsigned char *const next = o + 32 + __builtin_popcount(lf);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), chunk);
    for (unsigned i = 0; i < 2; ++i, ++o) {
        const unsigned k = _tzcnt_u32(lf);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + k + 1), _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + k)));
        o[k] = CR;
        lf = _blsr_u32(lf);
    }
    for (; lf != 0; ++o, lf = _blsr_u32(lf)) [[unlikely]] {
        const unsigned k = _tzcnt_u32(lf);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + k + 1), _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + k)));
        o[k] = CR;
    }
    return next;
}

// D: `chunk` with `put` at places `first` and `second` (in order; 32 or more for none), the bytes
// after the first taken from `one_back` and those after the second from `two_back`, the same bytes
// one and two places further on.
inline __m256i two_put_in(__m256i chunk, __m256i one_back, __m256i two_back, unsigned char put, unsigned first, unsigned second)
{
    const __m256i places = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i at_first = _mm256_set1_epi8(static_cast<char>(first));
    const __m256i at_second = _mm256_set1_epi8(static_cast<char>(second));
    __m256i out = _mm256_blendv_epi8(chunk, one_back, _mm256_cmpgt_epi8(places, at_first));
    out = _mm256_blendv_epi8(out, two_back, _mm256_cmpgt_epi8(places, at_second));
    return _mm256_blendv_epi8(out, _mm256_set1_epi8(static_cast<char>(put)),
                              _mm256_or_si256(_mm256_cmpeq_epi8(places, at_first), _mm256_cmpeq_epi8(places, at_second)));
}

// D, a chunk at `p` without a CR with at most two LFs, all lone, built in a register so that it
// takes two stores: each byte from the input read 0, 1 or 2 bytes back, by how many CRs go before
// it, and a CR in each CR's place; then the bytes past 32 from the input. Reads from p - 2 to p + 34.
inline unsigned char *cr_before_lfs_in_register(__m256i chunk, const unsigned char *p, std::uint32_t lf, unsigned char *o)
{
    const std::uint32_t after_first = _blsr_u32(lf);
    // Three LFs or more, or a second one whose CR falls past the 32 bytes: the stores over the chunk.
    if ((_blsr_u32(after_first) | (after_first & last_bit)) != 0) [[unlikely]]
        return lf == ~0U ? thirty_two_terminators(o) : cr_before_lfs(chunk, p, lf, o);
    // The CRs go where the LFs were, the second one place on; 32 or more for none.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o),
                        two_put_in(chunk, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p - 1)),
                                   _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p - 2)), CR,
                                   _tzcnt_u32(lf), _tzcnt_u32(after_first) + 1));
    const unsigned count = __builtin_popcount(lf);
    __builtin_memcpy(o + 32, p + 32 - count, 2);
    return o + 32 + count;
}

// D, a chunk without a CR whose LFs are lone, at most one per lane: a CR put before each LF. Each
// lane is stored first as it is, one byte on, so that its last byte lands past the shuffled lane.
inline unsigned char *cr_before_each_lf(__m256i chunk, std::uint32_t lf, unsigned char *o)
{
    const __m128i halves[2] = {_mm256_castsi256_si128(chunk), _mm256_extracti128_si256(chunk, 1)};
    for (unsigned h = 0; h < 2; ++h) {
        const unsigned k = place_in_lane(lf >> 16 * h & 0xFFFF);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 1), halves[h]);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o),
                         _mm_xor_si128(_mm_shuffle_epi8(halves[h], lane_row(lanes.put_cr[k])), lane_row(lanes.make_cr[k])));
        o += 16 + (k != no_byte);
    }
    return o;
}

// D, any chunk whose first byte does not complete a pair begun before it, `breaks` its break bytes:
// a pair becomes CR LF where it stands, a lone break becomes CR with an LF put after it, through
// 8-byte groups.
inline unsigned char *spread_any_chunk(__m256i chunk, std::uint32_t breaks, std::uint32_t seconds, unsigned char *o)
{
    const __m256i crs = _mm256_set1_epi8(static_cast<char>(CR));
    const __m256i lfs = _mm256_set1_epi8(static_cast<char>(LF));
    const std::uint32_t starters = breaks & ~seconds;
    if (starters == ~0U)
        return thirty_two_terminators(o);
    const __m256i is_break = _mm256_or_si256(_mm256_cmpeq_epi8(chunk, crs), _mm256_cmpeq_epi8(chunk, lfs));
    __m256i translated = _mm256_blendv_epi8(chunk, crs, is_break);
    translated = _mm256_blendv_epi8(translated, lfs, bytes_of_mask(seconds));
    const std::uint32_t lone = starters & ~(seconds >> 1);
    // Each 8-byte group in the low half of a register whose high half holds the LFs to put in.
    const __m128i low = _mm256_castsi256_si128(translated), high = _mm256_extracti128_si256(translated, 1);
    const __m128i lfs128 = _mm256_castsi256_si128(lfs);
    const __m128i parts[4] = {_mm_unpacklo_epi64(low, lfs128), _mm_unpackhi_epi64(low, lfs128),
                              _mm_unpacklo_epi64(high, lfs128), _mm_unpackhi_epi64(high, lfs128)};
    for (unsigned g = 0; g < 4; ++g) {
        const unsigned mask = lone >> 8 * g & 0xFF;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_shuffle_epi8(parts[g], lane_row(groups.spread[mask])));
        o += 8 + __builtin_popcount(mask);
    }
    return o;
}

// `x` moved up by `shift` bytes (1 or 2), across its two lanes; the bytes moved in are 0.
template <int shift>
inline __m256i bytes_up(__m256i x)
{
    return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, x, 0x08), 16 - shift);
}

// D, any chunk whose first byte does not complete a pair begun before it, as spread_any_chunk, but
// where it has at most two lone breaks, none of whose LFs falls past the chunk's 32 bytes, built in
// a register: each byte taken 0, 1 or 2 places back, by how many LFs go in before it, and an LF in
// each LF's place; the bytes past 32 stored first, from the chunk's high lane.
// `translated` is the chunk with its break bytes made CR and its pairs' seconds LF.
inline unsigned char *spread_translated_in_register(__m256i chunk, __m256i translated, std::uint32_t breaks,
                                                    std::uint32_t seconds, unsigned char *o)
{
    const std::uint32_t lone = breaks & ~seconds & ~(seconds >> 1);
    const std::uint32_t after_first = _blsr_u32(lone);
    if ((_blsr_u32(after_first) | (lone >> 31) | (after_first >> 30)) != 0) [[unlikely]]
        return spread_any_chunk(chunk, breaks, seconds, o);
    const unsigned count = __builtin_popcount(lone);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 16 + count), _mm256_extracti128_si256(translated, 1));
    // The LFs go in after each lone break, the second one place further on; 33 or more for none.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), two_put_in(translated, bytes_up<1>(translated), bytes_up<2>(translated), LF,
                                                                   _tzcnt_u32(lone) + 1, _tzcnt_u32(after_first) + 2));
    return o + 32 + count;
}

inline unsigned char *spread_chunk_in_register(__m256i chunk, chunk_masks m, std::uint32_t seconds, unsigned char *o)
{
    const __m256i crs = _mm256_set1_epi8(static_cast<char>(CR));
    const __m256i lfs = _mm256_set1_epi8(static_cast<char>(LF));
    const __m256i is_break = _mm256_or_si256(_mm256_cmpeq_epi8(chunk, crs), _mm256_cmpeq_epi8(chunk, lfs));
    const __m256i translated = _mm256_blendv_epi8(_mm256_blendv_epi8(chunk, crs, is_break), lfs, bytes_of_mask(seconds));
    return spread_translated_in_register(chunk, translated, m.cr | m.lf, seconds, o);
}

// D. Rare: chunks of whole CR LF pairs, as in DOS text, stay as they are. Otherwise: chunks without
// a CR and with at most one LF per lane, as in UNIX text, get a CR before each LF, and chunks of
// LFs alone become CR LFs. None of these needs the pair scan; every other chunk goes the general way.
// Where the sample shows two LFs a chunk common (real text, not `by_count`), chunks without a CR
// are built in a register whatever their count up to two, as a branch on it would often go wrong.
// Crowded, chosen where CRs are common (mixed text): every chunk goes the general way.
template <density kind, bool by_count>
std::size_t spread_chunks(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const unsigned char *p = in;
    unsigned char *o = out;
    pair_scan scan = scan_after(*state);
    const unsigned char *const end = in + n;
    [[maybe_unused]] const unsigned char *const last_run = n > 64 ? end - 64 : in;
    while (end - p >= 32) {
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const chunk_masks m = masks_of(chunk);
        p += 32;
        if constexpr (kind == density::rare) {
            // The run of whole pairs in a loop of its own, as for U and M.
            if (const unsigned char *const from = p - 32; from < last_run && pairs_from_here(m, scan)) {
                p = from;
                o = pair_run<MODE_DOS, 0>(&p, last_run, o);
                if (p != from) {
                    scan = scan_after_run(p);
                    continue;
                }
                p += 32;
            }
        } else if constexpr (kind != density::crowded) {
            const std::uint32_t cr_open = scan.cr_before & ~scan.last_second;
            // No CR and no LF completing a CR left open before: every LF is lone.
            if ((m.cr | (m.lf & cr_open)) == 0) {
                if (end - p >= 32 && (by_count || p - in >= 34)) {
                    // The run of such chunks in a loop of its own, as for DOS text: none leaves a
                    // CR open; one with one LF reads a chunk more, which the input must hold, and
                    // in real text each reads the two bytes before it, which a chunk started again
                    // one byte on after a pair split from the block before does not have.
                    std::uint32_t lf = m.lf;
                    const unsigned char *const last = end - 64;
                    for (__m256i run = chunk;;) {
                        // In real text a 64-bit program finds the next chunk's masks first, so that
                        // this chunk's rare branch is decided on masks that are ready (as in pair_run).
                        constexpr bool ahead = !by_count && many_registers;
                        __m256i next_run;
                        chunk_masks next;
                        if constexpr (ahead) {
                            next_run = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
                            next = masks_of(next_run);
                        }
                        if (!by_count)
                            o = cr_before_lfs_in_register(run, p - 32, lf, o);
                        else if ((lf & (lf - 1)) == 0)
                            o = cr_before_one_lf(run, p - 32, _tzcnt_u32(lf), o);
                        else if (one_per_lane(lf))
                            o = cr_before_each_lf(run, lf, o);
                        else
                            o = spread_any_chunk(run, lf, 0, o);
                        if (p > last)
                            break;
                        if constexpr (!ahead) {
                            next_run = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
                            next = masks_of(next_run);
                        }
                        if (next.cr != 0)
                            break;
                        run = next_run;
                        lf = next.lf;
                        p += 32;
                    }
                    scan = {0, lf >> 31, 0};
                    continue;
                }
                if (one_per_lane(m.lf)) {
                    o = cr_before_each_lf(chunk, m.lf, o);
                    scan = {0, m.lf >> 31, 0};
                    continue;
                }
                if (m.lf == ~0U) {
                    o = thirty_two_terminators(o);
                    scan = {0, 1, 0};
                    continue;
                }
            }
        }
        const std::uint32_t seconds = scan_seconds(&scan, m);
        if (seconds & 1) [[unlikely]] {
            // The second byte of a pair begun in the chunk before, whose terminator is written:
            // start the chunk again one byte on, that byte now the one before.
            p -= 31;
            scan = {m.cr & 1, m.lf & 1, 1};
            continue;
        }
        // In DOS text the general way takes mostly chunks that end with a pair split between
        // them, whose lone-looking CR at byte 31 the register form leaves to the groups anyway.
        o = kind == density::rare ? spread_any_chunk(chunk, m.cr | m.lf, seconds, o) : spread_chunk_in_register(chunk, m, seconds, o);
        if constexpr (kind == density::crowded) {
            // Mixed text, once a chunk is behind: the pairs come from comparing each chunk with
            // itself read one byte earlier, in vector registers, which also translate it, as in U
            // and M; only a run of three breaks or more, or a pair the chunk before left open, takes
            // the pair scan.
            std::uint32_t last_second = scan.last_second;
            const __m256i crs = _mm256_set1_epi8(static_cast<char>(CR));
            const __m256i lfs = _mm256_set1_epi8(static_cast<char>(LF));
            const auto pairs_at = [](const unsigned char *at, __m256i *is_break, __m256i *is_second) {
                const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
                *is_break = breaks_of(chunk);
                *is_second = after_other_at(at, chunk, *is_break);
            };
            // A 64-bit program finds each chunk's pairs a chunk ahead, as pair_run does.
            const unsigned char *const last = n > 64 ? end - 64 : in;
            __m256i next_break, next_second;
            if (many_registers && p < last)
                pairs_at(p, &next_break, &next_second);
            while (p < last) {
                const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
                __m256i is_break, is_second;
                if constexpr (many_registers) {
                    is_break = next_break;
                    is_second = next_second;
                    pairs_at(p + 32, &next_break, &next_second);
                } else {
                    pairs_at(p, &is_break, &is_second);
                }
                std::uint32_t seconds = static_cast<std::uint32_t>(_mm256_movemask_epi8(is_second));
                const auto breaks = static_cast<std::uint32_t>(_mm256_movemask_epi8(is_break));
                if ((seconds & ((seconds << 1) | last_second | 1)) != 0) [[unlikely]] {
                    pair_scan runs = scan_at(p, last_second);
                    seconds = scan_seconds(&runs, masks_of(chunk));
                    if (seconds & 1) {
                        // Its byte before's terminator is written: start again one byte on.
                        ++p;
                        last_second = 1;
                        if constexpr (many_registers)
                            pairs_at(p, &next_break, &next_second);
                        continue;
                    }
                    is_second = bytes_of_mask(seconds);
                }
                last_second = seconds >> 31;
                const __m256i translated = _mm256_blendv_epi8(_mm256_blendv_epi8(chunk, crs, is_break), lfs, is_second);
                o = spread_translated_in_register(chunk, translated, breaks, seconds, o);
                p += 32;
            }
            scan = scan_at(p, last_second);
        }
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, open_break(scan, in, p, *state), state) - out);
}

template <line_mode mode, density kind>
block_loop pack_loop(bool by_count)
{
    return by_count ? pack_chunks<mode, kind, true> : pack_chunks<mode, kind, false>;
}

template <line_mode mode>
std::size_t pack_by_density(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const block_shape shape = sample_density<mode>(in, n, *state);
    switch (shape.kind) {
    case density::plain:
        return pack_chunks<mode, density::plain, true>(in, n, out, state);
    case density::rare:
        return pack_chunks<mode, density::rare, true>(in, n, out, state);
    case density::pairs:
        return pack_loop<mode, density::pairs>(shape.by_count)(in, n, out, state);
    case density::few:
        return pack_loop<mode, density::few>(shape.by_count)(in, n, out, state);
    case density::crowded:
        break;
    }
    return pack_chunks<mode, density::crowded, true>(in, n, out, state);
}

} // namespace

std::size_t translate_block_avx2(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    switch (current_mode) {
    case MODE_DOS: {
        const block_shape shape = sample_density<MODE_DOS>(in, n, *state);
        return (shape.kind == density::rare ? spread_chunks<density::rare, true>
                : shape.often_cr            ? spread_chunks<density::crowded, true>
                : shape.by_count            ? spread_chunks<density::few, true>
                                            : spread_chunks<density::few, false>)(in, n, out, state);
    }
    case MODE_UNIX:
        return pack_by_density<MODE_UNIX>(in, n, out, state);
    case MODE_MAC:
        return pack_by_density<MODE_MAC>(in, n, out, state);
    }
    return 0;
}
