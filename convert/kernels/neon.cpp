// SPDX-License-Identifier: MIT
// The translator for 64-bit ARM, where NEON is always there: 32 bytes a step as two vectors, breaks
// found as bit masks, pairs resolved with mask arithmetic, and bytes dropped or LFs put in eight at
// a time through table lookups. The steps text is made of (no break; whole CR LF pairs; lone LFs;
// breaks without pairs) take the shortest way, chosen by sampling the first steps of a block.

#include <arm_neon.h>

#include <bit>

#include "convert/kernels/kernels.h"
#include "convert/line_mode.h"

static_assert(std::endian::native == std::endian::little, "the masks number a vector's bytes from its low end");

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char zero_byte = 0x80; // a table index past the table, which looks up 0

// For each mask of 8 bits, table indices that move the bytes whose bit is set to the front
// (`pack`), or that put an LF (byte 8 of the table) after each byte whose bit is set (`spread`);
// and the number of set bits, which a scalar popcount would take four instructions to find.
template <unsigned width>
struct byte_table {
    alignas(16) unsigned char of[256][width];
};
struct shuffle_tables {
    byte_table<1> ones;
    byte_table<8> pack;
    byte_table<16> spread;
};
constexpr shuffle_tables shuffles = [] {
    shuffle_tables tables{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned packed = 0, spread = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if (mask >> i & 1)
                tables.pack.of[mask][packed++] = static_cast<unsigned char>(i);
            tables.spread.of[mask][spread++] = static_cast<unsigned char>(i);
            if (mask >> i & 1)
                tables.spread.of[mask][spread++] = 8;
        }
        tables.ones.of[mask][0] = static_cast<unsigned char>(packed);
        for (; packed < 8; ++packed)
            tables.pack.of[mask][packed] = zero_byte;
        for (; spread < 16; ++spread)
            tables.spread.of[mask][spread] = zero_byte;
    }
    return tables;
}();
// Each table an object of its own, so each lookup is one load from a base kept in a register.
constexpr byte_table<1> ones = shuffles.ones;
constexpr byte_table<8> pack_indices = shuffles.pack;
constexpr byte_table<16> spread_indices = shuffles.spread;

// 0xFF for each CR or LF of `v`: one lookup by the byte's value (bytes past 15 look up 0) in place
// of two compares and an OR.
inline uint8x16_t breaks_of(uint8x16_t v)
{
    const uint8x16_t is_break = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0};
    return vqtbl1q_u8(is_break, v);
}

// Whether a step holds a break, from its two break vectors: narrowing by 4 leaves a nibble a byte
// in one 64-bit register, at less latency than umaxv on Cortex-A72 and Neoverse.
inline bool holds_break(uint8x16_t low, uint8x16_t high)
{
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(vorrq_u8(low, high)), 4)), 0) != 0;
}

// A step's CRs in the low 32 bits (bit i for byte i) and its LFs in the high 32. NEON has no byte
// mask move: each compare ANDed with its bit's weight and three pairwise adds make both masks in
// nine instructions after the compares, where the nibble narrowing would leave four bits a byte.
inline std::uint64_t break_masks(uint8x16_t low, uint8x16_t high)
{
    const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t crs = vdupq_n_u8(CR), lfs = vdupq_n_u8(LF);
    const uint8x16_t cr = vpaddq_u8(vandq_u8(vceqq_u8(low, crs), weights), vandq_u8(vceqq_u8(high, crs), weights));
    const uint8x16_t lf = vpaddq_u8(vandq_u8(vceqq_u8(low, lfs), weights), vandq_u8(vceqq_u8(high, lfs), weights));
    const uint8x16_t both = vpaddq_u8(cr, lf);
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(both, both)), 0);
}

// 0xFF for each set bit of the low 16 bits of `mask` (`low`) and of the high 16 (`high`).
inline uint8x16x2_t bytes_of_mask(std::uint32_t mask)
{
    const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t low_index = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
    const uint8x16_t mask_bytes = vreinterpretq_u8_u32(vdupq_n_u32(mask));
    return {{vtstq_u8(vqtbl1q_u8(mask_bytes, low_index), weights),
             vtstq_u8(vqtbl1q_u8(mask_bytes, vaddq_u8(low_index, vdupq_n_u8(2))), weights)}};
}

// Stores the step's bytes but those whose bit is set in `drop`; returns the end of the output.
inline unsigned char *pack_step(uint8x16_t low, uint8x16_t high, std::uint32_t drop, unsigned char *o)
{
    const uint8x16_t groups[4] = {low, vextq_u8(low, low, 8), high, vextq_u8(high, high, 8)};
    const std::uint32_t keep = ~drop;
    for (unsigned g = 0; g < 4; ++g) {
        const unsigned mask = keep >> 8 * g & 0xFF;
        vst1_u8(o, vqtbl1_u8(groups[g], vld1_u8(pack_indices.of[mask])));
        o += ones.of[mask][0];
    }
    return o;
}

// Stores the step's bytes with an LF after each byte whose bit is set in `lone`; returns the end.
inline unsigned char *spread_step(uint8x16_t low, uint8x16_t high, std::uint32_t lone, unsigned char *o)
{
    const uint64x2_t lfs = vreinterpretq_u64_u8(vdupq_n_u8(LF));
    const uint64x2_t low64 = vreinterpretq_u64_u8(low), high64 = vreinterpretq_u64_u8(high);
    // Each group of 8 in the low half of a vector whose high half holds LFs.
    const uint8x16_t groups[4] = {vreinterpretq_u8_u64(vzip1q_u64(low64, lfs)), vreinterpretq_u8_u64(vzip2q_u64(low64, lfs)),
                                  vreinterpretq_u8_u64(vzip1q_u64(high64, lfs)), vreinterpretq_u8_u64(vzip2q_u64(high64, lfs))};
    for (unsigned g = 0; g < 4; ++g) {
        const unsigned mask = lone >> 8 * g & 0xFF;
        vst1q_u8(o, vqtbl1q_u8(groups[g], vld1q_u8(spread_indices.of[mask])));
        o += 8 + ones.of[mask][0];
    }
    return o;
}

inline void store_step(uint8x16_t low, uint8x16_t high, unsigned char *o)
{
    vst1q_u8(o, low);
    vst1q_u8(o + 16, high);
}

// The break the step left open, as completing_byte gives it, from its CRs and its starters.
inline int open_after(std::uint32_t cr, std::uint32_t starters)
{
    return starters >> 31 ? (cr >> 31 ? LF : CR) : -1;
}

// Passes over the byte at `p` when it completes the break the bytes before left open (its
// terminator is already written); after it no break is open. At the block's end the break stays open.
inline const unsigned char *pass_completing(const unsigned char *p, const unsigned char *end, int *completing)
{
    if (*completing >= 0 && p < end) {
        p += *p == *completing;
        *completing = -1;
    }
    return p;
}

// After a step of whole pairs stored as they are (D) or without their other bytes (U, M), a last CR
// whose LF, if any, opens the next step: it gets its whole terminator here (U dropped it, D has it
// without its LF; M's is the CR), and that LF is passed over. Returns the end of the output.
template <line_mode mode>
inline unsigned char *split_pair(std::uint32_t cr, unsigned char *o, const unsigned char **p, const unsigned char *end,
                                 int *completing)
{
    if (cr >> 31) [[unlikely]] {
        if (mode != MODE_MAC)
            *o++ = LF;
        *completing = LF;
        *p = pass_completing(*p, end, completing);
    }
    return o;
}

// How often the costly work of a step (packing out second bytes for U and M, putting LFs after
// lone breaks for D) is needed: seldom, so a branch around it pays; mostly for whole CR LF pairs
// alone (DOS text to U or M), which a shorter way serves; or too often for a branch to pay. Steps
// without a CR (UNIX text to U or M) need none and go on in a loop of their own.
enum step_work { WORK_RARE, WORK_WHOLE_PAIRS, WORK_COMMON, WORK_NO_CR };

// What the first steps of a block say about the rest: whether most hold no break, so a branch
// around them pays too (long lines), and the work the others need.
struct block_sample {
    bool plain_common;
    step_work work;
};

template <line_mode mode>
block_sample sample_steps(const unsigned char *in, std::size_t n)
{
    unsigned with_breaks = 0, with_cr = 0, packed = 0, not_whole_pairs = 0, sampled = 0;
    for (; sampled < 32 && n - 32 * sampled >= 32; ++sampled) {
        const std::uint64_t masks = break_masks(vld1q_u8(in + 32 * sampled), vld1q_u8(in + 32 * sampled + 16));
        const auto cr = static_cast<std::uint32_t>(masks), lf = static_cast<std::uint32_t>(masks >> 32);
        const auto seconds = static_cast<std::uint32_t>(second_bytes_of_pairs(cr, lf));
        // A pair split at the step's end makes its last break look lone; that happens seldom.
        const std::uint32_t lone = (cr | lf) & ~seconds & ~(seconds >> 1) & ~(1U << 31);
        with_breaks += (cr | lf) != 0;
        with_cr += cr != 0;
        packed += (mode == MODE_DOS ? lone : seconds) != 0;
        // A pair split between two steps makes neither look whole here, but the loops take it.
        not_whole_pairs += (lf ^ cr << 1) >> 1 != 0;
    }
    const step_work work = mode != MODE_DOS && with_cr == 0                    ? WORK_NO_CR
                           : packed * 8 <= sampled                             ? WORK_RARE
                           : mode != MODE_DOS && not_whole_pairs * 6 <= sampled ? WORK_WHOLE_PAIRS
                                                                                : WORK_COMMON;
    return {with_breaks * 3 <= sampled, work};
}

// U and M: every break byte becomes the terminator and the second bytes of pairs are packed out.
template <line_mode mode, bool plain_common, step_work work>
std::size_t pack_steps(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const uint8x16_t terminators = vdupq_n_u8(mode == MODE_MAC ? CR : LF);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    int completing = completing_byte(*state);
    p = pass_completing(p, end, &completing);
    while (end - p >= 32) {
        if constexpr (work == WORK_NO_CR) {
            // UNIX text: a step without a CR holds no pair (no break is open here), so U stores it
            // as it is and M with its LFs made CR, without the masks.
            const unsigned char *const from = p;
            for (const uint8x16_t crs = vdupq_n_u8(CR), lfs = vdupq_n_u8(LF); end - p >= 32; p += 32, o += 32) {
                MCA_STEP_BEGIN("no CR");
                const uint8x16_t low = vld1q_u8(p), high = vld1q_u8(p + 16);
                if (holds_break(vceqq_u8(low, crs), vceqq_u8(high, crs)))
                    break;
                if constexpr (mode == MODE_MAC)
                    store_step(vbslq_u8(vceqq_u8(low, lfs), crs, low), vbslq_u8(vceqq_u8(high, lfs), crs, high), o);
                else
                    store_step(low, high, o);
                MCA_STEP_END("no CR");
            }
            if (p != from) {
                completing = p[-1] == LF ? CR : -1;
                p = pass_completing(p, end, &completing);
                continue;
            }
        }
        MCA_STEP_BEGIN("step");
        const uint8x16_t low = vld1q_u8(p), high = vld1q_u8(p + 16);
        const uint8x16_t breaks_low = breaks_of(low), breaks_high = breaks_of(high);
        p += 32;
        if (plain_common && !holds_break(breaks_low, breaks_high)) {
            store_step(low, high, o);
            o += 32;
            continue;
        }
        const std::uint64_t masks = break_masks(low, high);
        const auto cr = static_cast<std::uint32_t>(masks), lf = static_cast<std::uint32_t>(masks >> 32);
        if (work == WORK_WHOLE_PAIRS && (lf ^ cr << 1) == 0) {
            // Whole CR LF pairs: each pair's terminator is one of its bytes already, so the other
            // is packed out, without the pair scan.
            o = pack_step(low, high, mode == MODE_UNIX ? cr : lf, o);
            o = split_pair<mode>(cr, o, &p, end, &completing);
            MCA_STEP_END("step");
            continue;
        }
        const auto seconds = static_cast<std::uint32_t>(second_bytes_of_pairs(cr, lf));
        const uint8x16_t translated_low = vbslq_u8(breaks_low, terminators, low);
        const uint8x16_t translated_high = vbslq_u8(breaks_high, terminators, high);
        if (work == WORK_RARE && seconds == 0) {
            store_step(translated_low, translated_high, o);
            o += 32;
        } else {
            o = pack_step(translated_low, translated_high, seconds, o);
        }
        completing = open_after(cr, (cr | lf) & ~seconds);
        p = pass_completing(p, end, &completing);
        if constexpr (work != WORK_WHOLE_PAIRS)
            MCA_STEP_END("step");
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

// D: every starter becomes CR LF and every second byte goes. With pairs common (DOS text), a step of
// whole CR LF pairs stays as it is; without (UNIX text), a step without a CR gets a CR before each
// LF. Neither needs the pair scan; every other step goes the general way.
template <bool plain_common, bool spreading_rare>
std::size_t spread_steps(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    const uint8x16_t crs = vdupq_n_u8(CR), lfs = vdupq_n_u8(LF);
    const unsigned char *p = in;
    const unsigned char *const end = in + n;
    unsigned char *o = out;
    int completing = completing_byte(*state);
    p = pass_completing(p, end, &completing);
    while (end - p >= 32) {
        MCA_STEP_BEGIN("step");
        const uint8x16_t low = vld1q_u8(p), high = vld1q_u8(p + 16);
        const uint8x16_t breaks_low = breaks_of(low), breaks_high = breaks_of(high);
        p += 32;
        if (plain_common && !holds_break(breaks_low, breaks_high)) {
            store_step(low, high, o);
            o += 32;
            continue;
        }
        const std::uint64_t masks = break_masks(low, high);
        const auto cr = static_cast<std::uint32_t>(masks), lf = static_cast<std::uint32_t>(masks >> 32);
        // Breaks made CR; the LFs of pairs and those put after lone breaks come below.
        const uint8x16_t translated_low = vbslq_u8(breaks_low, crs, low);
        const uint8x16_t translated_high = vbslq_u8(breaks_high, crs, high);
        if constexpr (spreading_rare) {
            // Every LF right after a CR and every CR right before an LF but perhaps the last.
            if (lf == cr << 1) {
                store_step(low, high, o);
                o = split_pair<MODE_DOS>(cr, o + 32, &p, end, &completing);
                MCA_STEP_END("step");
                continue;
            }
        } else {
            if (cr == 0) { // every LF lone: an LF completing a CR before was passed over already
                o = spread_step(translated_low, translated_high, lf, o);
                completing = lf >> 31 ? CR : -1;
                p = pass_completing(p, end, &completing);
                MCA_STEP_END("step");
                continue;
            }
        }
        const auto seconds = static_cast<std::uint32_t>(second_bytes_of_pairs(cr, lf));
        const std::uint32_t starters = (cr | lf) & ~seconds;
        const std::uint32_t lone = starters & ~(seconds >> 1);
        // A pair becomes CR LF where it stands; a lone break becomes CR with an LF put after it.
        const uint8x16x2_t is_second = bytes_of_mask(seconds);
        const uint8x16_t pairs_low = vbslq_u8(is_second.val[0], lfs, translated_low);
        const uint8x16_t pairs_high = vbslq_u8(is_second.val[1], lfs, translated_high);
        if (spreading_rare && lone == 0) {
            store_step(pairs_low, pairs_high, o);
            o += 32;
        } else {
            o = spread_step(pairs_low, pairs_high, lone, o);
        }
        completing = open_after(cr, starters);
        p = pass_completing(p, end, &completing);
    }
    return static_cast<std::size_t>(finish_bytewise(p, end, o, completing, state) - out);
}

using step_loop = std::size_t (*)(const unsigned char *, std::size_t, unsigned char *, break_state *);

template <line_mode mode, bool plain_common, step_work work>
constexpr step_loop loop_for()
{
    if constexpr (mode == MODE_DOS)
        return spread_steps<plain_common, work == WORK_RARE>;
    else
        return pack_steps<mode, plain_common, work>;
}

template <line_mode mode>
std::size_t translate_in_mode(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    constexpr step_loop loops[2][4] = {
        {loop_for<mode, false, WORK_RARE>(), loop_for<mode, false, WORK_WHOLE_PAIRS>(), loop_for<mode, false, WORK_COMMON>(),
         loop_for<mode, false, WORK_NO_CR>()},
        {loop_for<mode, true, WORK_RARE>(), loop_for<mode, true, WORK_WHOLE_PAIRS>(), loop_for<mode, true, WORK_COMMON>(),
         loop_for<mode, true, WORK_NO_CR>()}};
    const block_sample sample = sample_steps<mode>(in, n);
    return loops[sample.plain_common][sample.work](in, n, out, state);
}

} // namespace

std::size_t translate_block_neon(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    return run_for_current_mode(translate_in_mode<MODE_DOS>, translate_in_mode<MODE_UNIX>, translate_in_mode<MODE_MAC>, in, n, out,
                                state);
}
