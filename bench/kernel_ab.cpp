// SPDX-License-Identifier: MIT
// Two builds of one kernel in one process, timed in turn on the same blocks: on a shared machine
// the clock and the neighbours drift more between two runs than a change to an inner loop moves
// it, and interleaving cancels that out. Built by bench/kernel_ab.py, which names the two builds
// kernel_before and kernel_after.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench/shapes.h"
#include "convert/line_mode.h"
#include "convert/translate.h"

std::size_t kernel_before(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
std::size_t kernel_after(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);

namespace {

using kernel = std::size_t (*)(const unsigned char *, std::size_t, unsigned char *, break_state *);
constexpr std::size_t block_size = 128 * 1024;
constexpr std::size_t checked_blocks = 16;

double seconds()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Whether `translate` gives what the byte-at-a-time table gives, block after block.
bool exact(kernel translate, const std::vector<unsigned char> &in)
{
    std::vector<unsigned char> out(max_translated_size(block_size)), expected(out.size());
    break_state state = BREAK_NONE, expected_state = BREAK_NONE;
    for (std::size_t at = 0; at < in.size(); at += block_size) {
        const std::size_t length = translate(in.data() + at, block_size, out.data(), &state);
        std::size_t expected_length = 0;
        for (std::size_t i = at; i < at + block_size; ++i)
            expected_length += translate_byte(in[i], &expected_state, expected.data() + expected_length);
        if (length != expected_length || state != expected_state || std::memcmp(out.data(), expected.data(), length) != 0)
            return false;
    }
    return true;
}

} // namespace

// Arguments: turns, blocks per timing (2 stay in the level 2 cache with their output; more come
// from the level 3 cache or memory), then
// SHAPE:MODE pairs as numbers (shape as in bench/shapes.h, mode 0 D, 1 U, 2 M).
int main(int argc, char **argv)
{
    if (argc < 4) {
        (void)std::fprintf(stderr, "usage: kernel_ab TURNS BLOCKS SHAPE:MODE...\n");
        return 2;
    }
    const int turns = std::atoi(argv[1]);
    const std::size_t blocks = static_cast<std::size_t>(std::atoi(argv[2]));
    std::vector<unsigned char> out(max_translated_size(block_size));
    std::printf("| shape | mode | before GB/s | after GB/s | after / before |\n|---|---|---:|---:|---:|\n");
    int failed = 0;
    for (int arg = 3; arg < argc; ++arg) {
        int kind = 0, mode = 0;
        if (std::sscanf(argv[arg], "%d:%d", &kind, &mode) != 2 || kind < 0 || kind > SHORT_LINES || mode < 0 || mode > 2)
            return 2;
        current_mode = static_cast<line_mode>(mode);
        const std::vector<unsigned char> in = make_input(static_cast<shape>(kind), (blocks > checked_blocks ? blocks : checked_blocks) * block_size);
        const kernel kernels[2] = {kernel_before, kernel_after};
        double best[2] = {1e9, 1e9};
        for (int turn = 0; turn < turns; ++turn)
            for (int k = 0; k < 2; ++k) {
                break_state state = BREAK_NONE;
                const double start = seconds();
                for (std::size_t b = 0; b < blocks; ++b)
                    (void)kernels[k](in.data() + b * block_size, block_size, out.data(), &state);
                const double took = seconds() - start;
                best[k] = took < best[k] ? took : best[k];
            }
        const bool right[2] = {exact(kernel_before, in), exact(kernel_after, in)};
        const auto rate = [&](int k) { return static_cast<double>(blocks * block_size) / best[k] / 1e9; };
        std::printf("| %s | %c | %.2f%s | %.2f%s | %.3f |\n", shape_names[kind], "DUM"[mode], rate(0),
                    right[0] ? "" : " WRONG", rate(1), right[1] ? "" : " WRONG", best[0] / best[1]);
        failed |= !right[0] || !right[1];
    }
    return failed;
}
