// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes, cut into blocks at arbitrary points, through the block translator in all
// three modes and every kernel this processor runs, and checks each against the byte-at-a-time
// state table.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "convert/line_mode.h"
#include "convert/translate.h"
#include "tests/bytewise_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    // The first four bytes choose the cuts, so the fuzzer can steer block boundaries too.
    std::uint32_t cut_seed = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    data += 4;
    size -= 4;
    for (line_mode mode : {MODE_DOS, MODE_UNIX, MODE_MAC}) {
        current_mode = mode;
        const std::vector<unsigned char> want = translate_bytewise(std::vector<unsigned char>(data, data + size));

        for (const translate_kernel &kernel : translate_kernels()) {
            if (!kernel.supported())
                continue;
            std::vector<unsigned char> got;
            break_state state = BREAK_NONE;
            std::uint32_t rng = cut_seed;
            for (std::size_t from = 0; from < size;) {
                rng = rng * 1103515245u + 12345u;
                // Mostly blocks of a few chunks, sometimes tiny ones.
                const std::size_t length = std::min<std::size_t>(size - from, (rng >> 16) % (rng >> 31 ? 13 : 400));
                // Buffers of the exact size, so any access past them is caught.
                const std::vector<unsigned char> block(data + from, data + from + length);
                std::vector<unsigned char> out(max_translated_size(length));
                const std::size_t written = kernel.translate(block.data(), length, out.data(), &state);
                got.insert(got.end(), out.begin(), out.begin() + static_cast<long>(written));
                from += length;
            }
            if (got != want)
                __builtin_trap();
        }
    }
    return 0;
}
