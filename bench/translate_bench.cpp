// SPDX-License-Identifier: MIT
// Throughput of the block translator alone, without any file I/O, for the shapes the file
// benchmark uses. Not a test: run it by hand to compare changes to the inner loop.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/shapes.h"
#include "convert/line_mode.h"
#include "convert/translate.h"

namespace {

constexpr std::size_t block_size = 128 * 1024;
// Many different blocks, so the branch predictor cannot learn where the lines of one block end;
// either far more than the caches hold, or four blocks, which stay in the level 2 cache as a block
// just read does in a run of eolfix.
constexpr std::size_t input_size = 16 * 1024 * 1024;
constexpr std::size_t cached_input_size = 4 * block_size;

void translate(benchmark::State &state)
{
    const auto kind = static_cast<shape>(state.range(0));
    current_mode = static_cast<line_mode>(state.range(1));
    const translate_kernel &kernel = translate_kernels()[static_cast<std::size_t>(state.range(2))];
    if (!kernel.supported()) {
        state.SkipWithError("this processor lacks the kernel's instructions");
        return;
    }
    state.SetLabel(std::string(kernel.name) + " " + shape_names[kind]);
    const std::vector<unsigned char> input = make_input(kind, input_size);
    const std::size_t span = state.range(3) ? cached_input_size : input_size;
    std::vector<unsigned char> out(max_translated_size(block_size));
    std::size_t offset = 0;
    break_state carry = BREAK_NONE;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kernel.translate(input.data() + offset, block_size, out.data(), &carry));
        offset = (offset + block_size) % span;
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * block_size));
}

} // namespace

// Every shape with every kernel built in, from memory and from cache.
void all_shapes_and_kernels(benchmark::internal::Benchmark *b)
{
    const std::pair<shape, line_mode> shapes[] = {
        {DOS_TEXT, MODE_UNIX}, {MIXED_TEXT, MODE_MAC}, {UNIX_TEXT, MODE_DOS},    {DOS_TEXT, MODE_DOS},
        {DOS_LONG, MODE_UNIX}, {MIXED_LONG, MODE_MAC}, {UNIX_LONG, MODE_DOS},    {DOS_LONG, MODE_DOS},
        {BINARY, MODE_UNIX},   {ALL_LF, MODE_DOS},     {SHORT_LINES, MODE_UNIX}};
    for (const auto &[kind, mode] : shapes)
        for (std::size_t k = 0; k < translate_kernels().size(); ++k)
            for (int cached = 0; cached < 2; ++cached)
                b->Args({kind, mode, static_cast<std::int64_t>(k), cached});
}

BENCHMARK(translate)->ArgNames({"shape", "mode", "kernel", "cached"})->Apply(all_shapes_and_kernels);

BENCHMARK_MAIN();
