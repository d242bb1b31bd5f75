// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "convert/platform/cpu_features.h"
#include "convert/line_mode.h"
#include "convert/platform/platform.h"
#include "convert/translate.h"
#include "tests/bytewise_reference.h"

namespace {

using bytes = std::basic_string<unsigned char>;

bytes to_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

// The block translator fed `in` in pieces ending at each of `cuts`, each in a buffer of its own
// size so that reading or writing past it shows up under the address sanitizer.
bytes translate_in_blocks(const bytes &in, const std::vector<std::size_t> &cuts,
                          const translate_kernel &kernel = chosen_translate_kernel())
{
    bytes out;
    break_state state = BREAK_NONE;
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        const std::vector<unsigned char> block(in.begin() + from, in.begin() + to);
        std::vector<unsigned char> target(max_translated_size(block.size()));
        out.append(target.data(), kernel.translate(block.data(), block.size(), target.data(), &state));
        from = to;
    }
    return out;
}

// The output as written for `mode`, from its UNIX form.
std::string in_mode(std::string unix_form, line_mode mode)
{
    std::string out;
    for (char c : unix_form)
        out += c != '\n' ? std::string(1, c) : mode == MODE_DOS ? "\r\n" : mode == MODE_MAC ? "\r" : "\n";
    return out;
}

constexpr line_mode all_modes[] = {MODE_DOS, MODE_UNIX, MODE_MAC};

// The kernels this processor can run; the others are named once so a reader knows they were skipped.
const std::vector<const translate_kernel *> &runnable_kernels()
{
    static const std::vector<const translate_kernel *> runnable = [] {
        std::vector<const translate_kernel *> supported;
        for (const translate_kernel &kernel : translate_kernels())
            if (kernel.supported())
                supported.push_back(&kernel);
            else
                std::printf("skipping the %s kernel: this processor lacks its instructions\n", kernel.name);
        return supported;
    }();
    return runnable;
}

TEST(Translate, ExamplesInEveryMode)
{
    struct example {
        std::string in, unix_out;
    };
    const auto repeated = [](const std::string &unit, int count) {
        std::string out;
        while (count-- > 0)
            out += unit;
        return out;
    };
    const std::string dos_chunks = repeated(std::string(62, 'a') + "\r\n", 10); // ten 64-byte lines
    const std::string unix_chunks = repeated(std::string(62, 'a') + "\n", 10);
    const std::string long_dos = repeated(std::string(94, 'a') + "\r\n", 12); // mostly steps with no break
    const std::string long_unix = repeated(std::string(95, 'a') + "\n", 12);
    std::string every_byte(256, '\0'); // a lone LF at 10 and a lone CR at 13 among every other value
    for (int i = 0; i < 256; ++i)
        every_byte[i] = static_cast<char>(i);
    std::string every_byte_out = every_byte;
    every_byte_out['\r'] = '\n';
    const example examples[] = {
        {"a\r\nb", "a\nb"},         {"a\n\rb", "a\nb"},           {"a\rb", "a\nb"},
        {"a\r\rb", "a\n\nb"},       {"a\n\nb", "a\n\nb"},         {"a\r\n\r\nb", "a\n\nb"},
        {"a\r\n\rb", "a\n\nb"},     {"a\n\r\nb", "a\n\nb"},       {"a\r\r\nb", "a\n\nb"},
        {"a\r\n\n\rb", "a\n\nb"},   {"\r", "\n"},                 {"", ""},
        {"\n", "\n"},               {"\r\r\r", "\n\n\n"},         {"\n\r\n\r", "\n\n"},
        {"ab", "ab"},               {"a\r\n", "a\n"},             {std::string("\0\x1a\xff\r", 4), std::string("\0\x1a\xff\n", 4)},
        // Runs of equal breaks long enough for the vector count and fill, with a tail past them.
        {std::string("a").append(37, '\r') + "\nb", std::string("a").append(37, '\n') + "b"},
        {std::string(40, '\n') + "\r", std::string(40, '\n')},
        {std::string(64, '\n') + "\r" + std::string(40, 'y'), std::string(64, '\n') + std::string(40, 'y')},
        // A chunk of LFs after one that ends in a CR: its first LF completes that CR.
        {std::string(63, 'x') + "\r" + std::string(64, '\n') + "y", std::string(63, 'x') + std::string(64, '\n') + "y"},
        // DOS text, then a run of 66 alternating breaks from the end of one chunk across the next
        // (33 pairs), and a lone CR after a chunk that ends in a whole pair.
        {dos_chunks + std::string(63, 'x') + "\n" + repeated("\r\n", 32) + "\r" + std::string(63, 'y'),
         unix_chunks + std::string(63, 'x') + std::string(33, '\n') + std::string(63, 'y')},
        {dos_chunks + std::string(62, 'x') + "\r\n\r" + std::string(63, 'y'),
         unix_chunks + std::string(62, 'x') + "\n\n" + std::string(63, 'y')},
        {every_byte, every_byte_out},
        // Long lines, then 32-byte steps with a pair in the second half, an LF CR pair at the end,
        // and a CR at the end with its LF in the next step.
        {long_unix + std::string(20, 'x') + "\r\n" + std::string(40, 'x') + "\n\r\n" + std::string(62, 'x') + "\r\n" + std::string(40, 'z'),
         long_unix + std::string(20, 'x') + "\n" + std::string(40, 'x') + "\n\n" + std::string(62, 'x') + "\n" + std::string(40, 'z')},
        {long_dos + std::string(28, 'x') + "\r\nx\r\n" + std::string(31, 'y'),
         repeated(std::string(94, 'a') + "\n", 12) + std::string(28, 'x') + "\nx\n" + std::string(31, 'y')},
        // Text lines with breaks across 16- and 32-byte steps: a pair split between two, a lone LF
        // ending a chunk with a CR after it, and a CR that starts a step after a pair ended the last.
        {std::string(31, 'x') + "\r\n" + std::string(14, 'y') + "\n\r" + std::string(13, 'z') + "\r\n\r" + std::string(40, 'w'),
         std::string(31, 'x') + "\n" + std::string(14, 'y') + "\n" + std::string(13, 'z') + "\n\n" + std::string(40, 'w')},
        {dos_chunks + std::string(31, 'x') + "\r\n" + std::string(40, 'y'), unix_chunks + std::string(31, 'x') + "\n" + std::string(40, 'y')},
        {std::string(15, 'x') + "\n\r" + std::string(15, 'y') + "\n" + std::string(16, 'z') + "\n" + std::string(40, 'w'),
         std::string(15, 'x') + "\n" + std::string(15, 'y') + "\n" + std::string(16, 'z') + "\n" + std::string(40, 'w')},
        // After DOS or UNIX lines (64 and 63 bytes long), so the shortcuts for those are on: a chunk
        // of pairs whose last byte is a CR; a chunk whose first LF completes a CR, or whose first CR
        // an LF, from the one before.
        {dos_chunks + std::string(31, 'x') + "\r\n" + std::string(70, 'y'),
         unix_chunks + std::string(31, 'x') + "\n" + std::string(70, 'y')},
        {unix_chunks + std::string(41, 'x') + "\r\nab\n" + std::string(70, 'y'),
         unix_chunks + std::string(41, 'x') + "\nab\n" + std::string(70, 'y')},
        {dos_chunks + std::string(31, 'x') + "\n\r\n" + std::string(70, 'y'),
         unix_chunks + std::string(31, 'x') + "\n\n" + std::string(70, 'y')},
        // After UNIX lines (630 bytes), a 32-byte step ending in a pair, one without a CR ending in
        // a lone LF, and a CR after that LF: the pair before must not flip it.
        {unix_chunks + std::string(40, 'x') + "\r\n" + std::string(31, 'y') + "\n\r" + std::string(40, 'z'),
         unix_chunks + std::string(40, 'x') + "\n" + std::string(31, 'y') + "\n" + std::string(40, 'z')},
        // After long lines, whose loops take one byte a half the short way: two pairs, two LFs, and an
        // LF CR with a CR LF in one half go the long way.
        {long_dos + std::string(20, 'x') + "\r\n\r\n" + std::string(40, 'y'),
         repeated(std::string(94, 'a') + "\n", 12) + std::string(20, 'x') + "\n\n" + std::string(40, 'y')},
        {long_unix + std::string(20, 'x') + "\n\n" + std::string(40, 'y'), long_unix + std::string(20, 'x') + "\n\n" + std::string(40, 'y')},
        {long_unix + std::string(18, 'x') + "\n\rx\r\n" + std::string(40, 'y'),
         long_unix + std::string(18, 'x') + "\nx\n" + std::string(40, 'y')},
        // After DOS lines, a chunk of pairs whose first CR completes an LF from the chunk before: the
        // run goes on past it, so its last LF is open and the CR after it completes that.
        {dos_chunks + std::string(31, 'x') + "\n" + repeated("\r\n", 16) + "\r" + std::string(70, 'y'),
         unix_chunks + std::string(31, 'x') + std::string(17, '\n') + std::string(70, 'y')},
        // After DOS lines, a chunk of four pairs (more than the two packed without a branch) ending
        // in a CR whose LF starts a chunk with a lone LF: the run of pairs stops short of that CR.
        {dos_chunks + "ab" + repeated("\r\n", 4) + std::string(21, 'x') + "\r\n" + std::string(10, 'y') + "\n" + std::string(40, 'z'),
         unix_chunks + "ab" + std::string(4, '\n') + std::string(21, 'x') + "\n" + std::string(10, 'y') + "\n" + std::string(40, 'z')},
        // Blocks that end just where the chunks that read on past their end must stop.
        {dos_chunks + std::string(64, 'y'), unix_chunks + std::string(64, 'y')},
        {dos_chunks + std::string(30, 'x') + "\r\n" + std::string(33, 'y'),
         unix_chunks + std::string(30, 'x') + "\n" + std::string(33, 'y')},
        {unix_chunks + std::string(73, 'y'), unix_chunks + std::string(73, 'y')},
        {unix_chunks + std::string(41, 'x') + "\n" + std::string(32, 'y'),
         unix_chunks + std::string(41, 'x') + "\n" + std::string(32, 'y')},
    };
    for (line_mode mode : all_modes) {
        current_mode = mode;
        for (const example &e : examples) {
            const bytes want = to_bytes(in_mode(e.unix_out, mode));
            EXPECT_EQ(translate_bytewise(to_bytes(e.in)), want) << "mode " << mode << " input " << testing::PrintToString(e.in);
            for (const translate_kernel *kernel : runnable_kernels())
                EXPECT_EQ(translate_in_blocks(to_bytes(e.in), {e.in.size()}, *kernel), want) << kernel->name << " mode " << mode;
        }
    }
}

TEST(Translate, BlocksMatchBytewiseAtEverySplit)
{
    std::mt19937 rng(20261207);
    // Breaks, with bytes that sit next to CR and LF in value or in bit pattern.
    const unsigned char alphabet[] = {'\r', '\n', '\r', '\n', 'a', 0x00, 0xFF, 0x8D, 0x8A, 0x0B, 0x0C};
    for (int round = 0; round < 64; ++round) {
        // Dense breaks, text with short lines, lines as long as real text's, and long lines, so
        // chunks are full, mixed and empty; in a quarter of the rounds the breaks are those of UNIX
        // text with a rare CR LF, in another of DOS text.
        const unsigned one_break_in = std::array{1U, 6U, 20U, 34U, 50U}[round % 5];
        const int text = round / 2 % 4;
        bytes in(std::uniform_int_distribution<std::size_t>(0, 700)(rng), 0);
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (rng() % one_break_in != 0)
                in[i] = static_cast<unsigned char>('a' + i % 26);
            else if (text == 2 && rng() % 8 != 0)
                in[i] = '\n';
            else if (text >= 2 && i + 1 < in.size()) {
                in[i] = '\r';
                in[++i] = '\n';
            } else
                in[i] = alphabet[rng() % sizeof alphabet];
        }
        for (line_mode mode : all_modes) {
            current_mode = mode;
            const bytes want = translate_bytewise(in);
            std::vector<std::size_t> cuts; // blocks of random sizes, some several chunks long
            for (std::size_t at = 0; at < in.size();)
                cuts.push_back(at = std::min(in.size(), at + rng() % (round % 2 ? 7 : 150)));
            for (const translate_kernel *kernel : runnable_kernels()) {
                for (std::size_t cut = 0; cut <= in.size(); ++cut)
                    ASSERT_EQ(translate_in_blocks(in, {cut, in.size()}, *kernel), want)
                        << kernel->name << " mode " << mode << " cut " << cut;
                ASSERT_EQ(translate_in_blocks(in, cuts, *kernel), want) << kernel->name << " mode " << mode;
            }
        }
    }
}

TEST(Translate, TextShapesMatchBytewise)
{
    // Lines as files hold them, enough that a kernel samples its first chunks and picks the loop for
    // that shape; blocks cut early, in the middle and at an odd place carry a pair across.
    struct shape {
        std::size_t shortest, longest;
        std::vector<std::string> breaks;
    };
    const shape shapes[] = {{20, 120, {"\r\n"}}, {20, 120, {"\n"}},  {20, 120, {"\r", "\n", "\r\n", "\n\r"}},
                            {0, 12, {"\r\n"}},   {0, 12, {"\n"}},    {0, 12, {"\r", "\n", "\r\n", "\n\r"}},
                            {0, 0, {"\n"}},      {0, 0, {"\r\n"}},   {200, 400, {"\r"}},
                            // as long as real text's, empty lines among them: 0, 1 or 2 breaks a step
                            {0, 76, {"\r\n"}},   {0, 76, {"\n"}},    {0, 76, {"\r", "\n", "\r\n", "\n\r"}},
                            // UNIX lines of 14 or 15 bytes: two LFs a chunk, the second often its last byte
                            {14, 15, {"\n"}},
                            // DOS text with now and then a CR and an LF a byte apart, not a pair
                            {20, 120, {"\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r-\n"}},
                            // UNIX text with a rare CR LF: cut between them, a block starts on the LF
                            {14, 40, {"\n", "\n", "\n", "\n", "\n", "\n", "\n", "\r\n"}},
                            // short DOS lines with a rare lone CR, which a run of pairs may end on
                            {0, 12, {"\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r\n", "\r"}}};
    std::mt19937 rng(20261208);
    for (const shape &s : shapes) {
        bytes in;
        while (in.size() < 6000) {
            for (std::size_t length = s.shortest + rng() % (s.longest - s.shortest + 1); length > 0; --length)
                in.push_back(static_cast<unsigned char>('a' + rng() % 26));
            const std::string &brk = s.breaks[rng() % s.breaks.size()];
            in.append(brk.begin(), brk.end());
        }
        // Also just after each of the first CRs, where a block may start on the second byte of a pair.
        std::vector<std::size_t> cuts = {0, 1, 2000, 3001};
        for (std::size_t cr = in.find('\r'); cr != bytes::npos && cuts.size() < 8; cr = in.find('\r', cr + 1))
            cuts.push_back(cr + 1);
        for (line_mode mode : all_modes) {
            current_mode = mode;
            const bytes want = translate_bytewise(in);
            for (const translate_kernel *kernel : runnable_kernels())
                for (std::size_t cut : cuts)
                    ASSERT_EQ(translate_in_blocks(in, {cut, in.size()}, *kernel), want)
                        << kernel->name << " mode " << mode << " lines " << s.shortest << " to " << s.longest
                        << " cut " << cut;
        }
    }
}

TEST(Translate, RunsOfBreaksAtEveryOffset)
{
    // Runs of blank lines cross the vector chunks at every alignment; plain bytes around them. After
    // UNIX or mixed lines past a block's sample too, where the loop their chunks take meets the run.
    const std::string units[] = {"\r", "\n", "\r\n", "\n\r"};
    std::string unix_lines, mixed_lines;
    for (std::size_t length = 0, i = 0; mixed_lines.size() < 1200; length = (length + 7) % 60, ++i) {
        unix_lines += std::string(length, 'u') + "\n";
        mixed_lines += std::string(length, 'm') + units[i % 4];
    }
    // so that no unit makes a pair with their last break
    unix_lines += 'u';
    mixed_lines += 'm';
    for (const std::string &lead : {std::string(), unix_lines, mixed_lines})
    for (const std::string &unit : units)
        for (std::size_t offset = 0; offset < 32; ++offset)
            for (std::size_t count = 1; count <= (lead.empty() ? 40 : 3); ++count) {
                std::string in = lead + std::string(offset, 'x');
                for (std::size_t i = 0; i < count; ++i)
                    in += unit;
                in += std::string(70, 'y');
                const std::string unix_out = std::string(offset, 'x') + std::string(count, '\n') + std::string(70, 'y');
                for (line_mode mode : all_modes) {
                    current_mode = mode;
                    bytes want = translate_bytewise(to_bytes(lead));
                    want += to_bytes(in_mode(unix_out, mode));
                    for (const translate_kernel *kernel : runnable_kernels())
                        ASSERT_EQ(translate_in_blocks(to_bytes(in), {in.size()}, *kernel), want)
                            << kernel->name << " mode " << mode << " offset " << offset << " count " << count
                            << " unit " << testing::PrintToString(unit);
                }
            }
}

TEST(Translate, TwoBreaksAtEveryPairOfPlacesAfterEveryState)
{
    // Two breaks anywhere in a chunk or just past it, in a block that starts after each state the
    // block before can leave: where a kernel puts in, drops or carries a byte changes with each.
    for (const std::string before : {"ab", "a\r", "a\n"})
        for (const char first : {'\r', '\n'})
            for (const char second : {'\r', '\n'})
                for (std::size_t i = 0; i < 66; ++i)
                    for (std::size_t j = i + 1; j < 67; ++j) {
                        std::string in = before;
                        in.append(68, 'x');
                        in[2 + i] = first;
                        in[2 + j] = second;
                        for (line_mode mode : all_modes) {
                            current_mode = mode;
                            const bytes want = translate_bytewise(to_bytes(in));
                            for (const translate_kernel *kernel : runnable_kernels())
                                ASSERT_EQ(translate_in_blocks(to_bytes(in), {2, in.size()}, *kernel), want)
                                    << kernel->name << " mode " << mode << " input " << testing::PrintToString(in);
                        }
                    }
}

TEST(Translate, TextThatChangesShapeWithinABlock)
{
    // Kilobytes of each kind of text, then of each other kind: a kernel that picks its loop from a
    // block's first chunks must stay exact where the rest of the block no longer fits that loop.
    std::mt19937 rng(20261208);
    const auto lines = [&rng](std::vector<std::string> breaks, std::size_t shortest, std::size_t longest) {
        std::string out;
        while (out.size() < 3000) {
            out.append(shortest + rng() % (longest - shortest + 1), static_cast<char>('a' + rng() % 26));
            out += breaks[rng() % breaks.size()];
        }
        return out;
    };
    std::string binary(3000, 0);
    for (char &c : binary)
        c = static_cast<char>(rng() % 4 == 0 ? "\r\n"[rng() % 2] : rng());
    // Real text's line lengths too: there blocks choose loops that take any number of breaks a
    // chunk, and long lines' loops branch on it.
    const std::string shapes[] = {lines({"\r\n"}, 20, 120), lines({"\n"}, 20, 120),
                                  lines({"\r", "\n", "\r\n", "\n\r"}, 20, 120), lines({"\r\n"}, 0, 12),
                                  std::string(3000, '\n'), binary, lines({"\r\n"}, 0, 76),
                                  lines({"\n"}, 0, 76), lines({"\r", "\n", "\r\n", "\n\r"}, 0, 76)};
    for (const std::string &first : shapes)
        for (const std::string &second : shapes) {
            const bytes in = to_bytes(first + second);
            const std::size_t cuts[] = {0, first.size() - 1000, first.size() + 1, rng() % in.size()};
            for (line_mode mode : all_modes) {
                current_mode = mode;
                const bytes want = translate_bytewise(in);
                for (const translate_kernel *kernel : runnable_kernels())
                    for (std::size_t cut : cuts)
                        ASSERT_EQ(translate_in_blocks(in, {cut, in.size()}, *kernel), want)
                            << kernel->name << " mode " << mode << " cut " << cut;
            }
        }
}

TEST(ProcessorFeatures, OwnProbeAgreesWithTheLoader)
{
    // Our probe serves where the C library tells nothing (Windows among them): check its bits here.
#if defined(__x86_64__) || defined(__i386__)
    unsigned from_loader = 0;
    if (features_found_by_loader(&from_loader) != 0)
        GTEST_SKIP() << "this C library does not tell what its loader found";
    EXPECT_EQ(probe_x86_features(), from_loader);
#else
    GTEST_SKIP() << "not an x86 processor";
#endif
}

TEST(ProcessorFeatures, ReadsEachProcessorAndSystem)
{
    // Bits by the names of Intel's manual, for what no emulator here offers: AVX-512, and systems
    // that do not save every register the processor has.
#if defined(__x86_64__) || defined(__i386__)
    constexpr unsigned SSSE3 = 1U << 9, POPCNT = 1U << 23, AVX = 1U << 28;                 // leaf 1, ECX
    constexpr unsigned AVX2 = 1U << 5, BMI2 = 1U << 8, F = 1U << 16, DQ = 1U << 17, BW = 1U << 30,
                       VL = 1U << 31;                                                        // leaf 7, EBX
    constexpr unsigned VBMI = 1U << 1, VBMI2 = 1U << 6;                                      // leaf 7, ECX
    constexpr unsigned long long SSE_STATE = 0x03, AVX_STATE = 0x07, ZMM_STATE = 0xE7;      // XCR0
    constexpr unsigned leaf1 = SSSE3 | POPCNT | AVX, skylake = AVX2 | BMI2 | F | DQ | BW | VL;
    constexpr unsigned avx2 = X86_SSSE3 | X86_POPCNT | X86_AVX2 | X86_BMI2, avx512 = avx2 | X86_AVX512BW;
    const struct {
        const char *what;
        x86_cpuid_words words;
        unsigned features;
    } rows[] = {
        {"Ice Lake", {0x1b, leaf1, skylake, VBMI | VBMI2, ZMM_STATE}, avx512 | X86_AVX512VBMI | X86_AVX512VBMI2},
        {"Knights Landing: no bytes and words", {0xd, leaf1, AVX2 | BMI2 | F, 0, ZMM_STATE}, avx2},
        {"a hypervisor hiding DQ", {7, leaf1, skylake & ~DQ, 0, ZMM_STATE}, avx512},
        {"a hypervisor hiding VL", {7, leaf1, skylake & ~VL, 0, ZMM_STATE}, avx2},
        {"a hypervisor hiding BW", {7, leaf1, skylake & ~BW, 0, ZMM_STATE}, avx2},
        {"a system saving no ZMM state", {7, leaf1, skylake, VBMI | VBMI2, AVX_STATE}, avx2},
        {"a system saving no YMM state", {7, leaf1, skylake, VBMI, SSE_STATE}, X86_SSSE3 | X86_POPCNT | X86_BMI2},
        {"leaf 7 past the last", {6, leaf1, skylake, VBMI, ZMM_STATE}, X86_SSSE3 | X86_POPCNT},
        {"leaf 1 the last", {1, leaf1, 0, 0, AVX_STATE}, X86_SSSE3 | X86_POPCNT},
        {"no leaf 1", {0, leaf1, skylake, VBMI, ZMM_STATE}, 0},
    };
    for (const auto &r : rows)
        EXPECT_EQ(x86_features_from(r.words), r.features) << r.what;
#else
    GTEST_SKIP() << "not an x86 processor";
#endif
}

TEST(ProcessorFeatures, PicksTheKernelExpectedOfThisProcessor)
{
    // Named by the runs under emulated processor models; a real machine's kernel is whatever it has.
    const char *expected = std::getenv("EOLFIX_EXPECTED_KERNEL");
    if (expected == nullptr)
        GTEST_SKIP() << "set only under an emulated processor model";
    EXPECT_STREQ(chosen_translate_kernel().name, expected);
}

TEST(CopyToLineBreak, MatchesNaiveScanAtEveryOffsetAndLength)
{
    // Bytes one bit away from CR or LF, and the extremes, which trip careless bit tricks.
    const unsigned char decoys[] = {0x8D, 0x8A, 0x0B, 0x0C, 0x00, 0xFF, 0x0E, 0x09, 0x2D, 0x2A};
    using scan = const unsigned char *(*)(const unsigned char *, const unsigned char *, unsigned char *);
    const scan scans[] = {copy_to_line_break, copy_to_line_break_words};
    std::vector<unsigned char> buffer(64 + 200 + 64);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = decoys[i % sizeof decoys];
    for (unsigned char brk : {'\r', '\n'})
        for (std::size_t offset = 0; offset < 64; ++offset)
            for (std::size_t length = 0; length <= 200; ++length)
                // A break at `length` lies just past the end: the scan must not report it.
                for (std::size_t at = 0; at <= length; ++at) {
                    const unsigned char *begin = buffer.data() + offset;
                    buffer[offset + at] = brk;
                    for (scan copy : scans) {
                        std::vector<unsigned char> out(length);
                        ASSERT_EQ(copy(begin, begin + length, out.data()) - begin, static_cast<long>(at))
                            << "offset " << offset << " length " << length << " break " << at;
                        ASSERT_TRUE(std::equal(begin, begin + at, out.begin())) << "offset " << offset << " length " << length;
                    }
                    buffer[offset + at] = decoys[(offset + at) % sizeof decoys];
                }
}

TEST(Translate, RunsOfEqualBreaksAtTheEndOfABlockStayInsideIt)
{
    // The block sits in a heap buffer of its exact size, so the address sanitizer sees a read past
    // it; a second copy followed by one more equal break shows a count past the end in any build.
    for (const translate_kernel *kernel : runnable_kernels())
        for (line_mode mode : all_modes)
            for (unsigned char brk : {'\r', '\n'})
                for (std::size_t length = 1; length <= 40; ++length)
                    for (std::size_t run = 1; run <= length; ++run) {
                        current_mode = mode;
                        std::vector<unsigned char> block(length, 'a');
                        std::fill(block.end() - run, block.end(), brk);
                        const bytes want = translate_bytewise(bytes(block.begin(), block.end()));
                        std::vector<unsigned char> followed = block;
                        followed.push_back(brk);
                        for (const std::vector<unsigned char> *in : {&block, &followed}) {
                            std::vector<unsigned char> out(max_translated_size(length));
                            break_state state = BREAK_NONE;
                            const std::size_t size = kernel->translate(in->data(), length, out.data(), &state);
                            ASSERT_EQ(bytes(out.data(), size), want) << kernel->name << " mode " << mode << " length "
                                                                    << length << " run " << run << " byte " << int(brk);
                            ASSERT_EQ(state, brk == '\r' ? BREAK_AFTER_CR : BREAK_AFTER_LF) << kernel->name;
                        }
                    }
}

} // namespace
