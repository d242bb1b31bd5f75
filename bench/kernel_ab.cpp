// SPDX-License-Identifier: MIT
// Two builds of one kernel in one process, timed in turn on the same blocks: on a shared machine
// the clock and the neighbours drift more between two runs than a change to an inner loop moves
// it, and interleaving cancels that out. Built by bench/kernel_ab.py, which names the two builds
// kernel_before and kernel_after.

#include <algorithm>
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
constexpr std::size_t pool_blocks = 128;

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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

// Arguments: turns, blocks per turn, then SHAPE:MODE pairs as numbers (shape as in
// bench/shapes.h, mode 0 D, 1 U, 2 M). Each block is copied in from 16 MiB of input before it is
// translated, as a run of eolfix reads it: the copy stays in the cache, but the branch predictor
// cannot learn the input, as it does when the same few blocks come round again.
int main(int argc, char **argv)
{
    if (argc < 4) {
        (void)std::fprintf(stderr, "usage: kernel_ab TURNS BLOCKS SHAPE:MODE...\n");
        return 2;
    }
    const int turns = std::atoi(argv[1]);
    const std::size_t blocks = static_cast<std::size_t>(std::atoi(argv[2]));
    std::vector<unsigned char> block(block_size), out(max_translated_size(block_size));
    std::printf("| shape | mode | before GB/s | after GB/s | after / before |\n|---|---|---:|---:|---:|\n");
    int failed = 0;
    for (int arg = 3; arg < argc; ++arg) {
        int kind = 0, mode = 0;
        if (std::sscanf(argv[arg], "%d:%d", &kind, &mode) != 2 || kind < 0 || kind > SHORT_LINES || mode < 0 || mode > 2)
            return 2;
        current_mode = static_cast<line_mode>(mode);
        const std::vector<unsigned char> in = make_input(static_cast<shape>(kind), pool_blocks * block_size);
        const kernel kernels[2] = {kernel_before, kernel_after};
        std::vector<double> took[2], ratios;
        std::size_t next = 0;
        for (int turn = 0; turn < turns; ++turn) {
            double sum[2] = {0, 0};
            for (std::size_t b = 0; b < blocks; ++b, next = (next + 1) % pool_blocks)
                for (int k = 0; k < 2; ++k) {
                    std::memcpy(block.data(), in.data() + next * block_size, block_size);
                    break_state state = BREAK_NONE;
                    const double start = seconds();
                    (void)kernels[k](block.data(), block_size, out.data(), &state);
                    sum[k] += seconds() - start;
                }
            took[0].push_back(sum[0]);
            took[1].push_back(sum[1]);
            ratios.push_back(sum[0] / sum[1]);
        }
        const bool right[2] = {exact(kernel_before, in), exact(kernel_after, in)};
        const auto rate = [&](int k) { return static_cast<double>(blocks * block_size) / median(took[k]) / 1e9; };
        std::printf("| %s | %c | %.2f%s | %.2f%s | %.3f |\n", shape_names[kind], "DUM"[mode], rate(0),
                    right[0] ? "" : " WRONG", rate(1), right[1] ? "" : " WRONG", median(ratios));
        failed |= !right[0] || !right[1];
    }
    return failed;
}
