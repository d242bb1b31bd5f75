// SPDX-License-Identifier: MIT
#include "convert/translate.h"

#include "convert/line_mode.h"
#include "convert/translate_kernels.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;

bool always_supported() { return true; }

#if EOLFIX_X86_KERNELS
// The compiler's checks also ask the operating system whether it saves the wide registers.
bool avx512_supported()
{
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
}

bool avx2_supported()
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}
#endif

// Fastest first. Each kernel's own file is compiled for its instruction set, so nothing of it may
// run before its check here says the processor has that set.
const translate_kernel kernels[] = {
#if EOLFIX_X86_KERNELS
    {"avx512", avx512_supported, translate_block_avx512},
    {"avx2", avx2_supported, translate_block_avx2},
#endif
    {"baseline", always_supported, translate_block_baseline},
};

} // namespace

std::size_t write_line_break(unsigned char *out)
{
    switch (current_mode) {
    case MODE_DOS:
        out[0] = CR;
        out[1] = LF;
        return 2;
    case MODE_UNIX:
        out[0] = LF;
        return 1;
    case MODE_MAC:
        out[0] = CR;
        return 1;
    }
    return 0;
}

std::size_t translate_byte(unsigned char byte, break_state *state, unsigned char *out)
{
    break_state next = BREAK_NONE;
    std::size_t written = 0;
    if (byte == LF) {
        if (*state != BREAK_AFTER_CR) { // else this LF completes CR LF: already written
            written = write_line_break(out);
            next = BREAK_AFTER_LF;
        }
    } else if (byte == CR) {
        if (*state != BREAK_AFTER_LF) { // else this CR completes LF CR: already written
            written = write_line_break(out);
            next = BREAK_AFTER_CR;
        }
    } else {
        out[0] = byte;
        written = 1;
    }
    *state = next;
    return written;
}

std::span<const translate_kernel> translate_kernels()
{
    return kernels;
}

const translate_kernel &chosen_translate_kernel()
{
    // Asked once: the processor does not change while we run. A plain pointer, not a guarded
    // static, so the program needs nothing from the C++ runtime (one thread asks).
    static const translate_kernel *chosen = nullptr;
    if (chosen == nullptr) {
        chosen = &kernels[std::size(kernels) - 1];
        for (const translate_kernel &kernel : kernels) {
            if (kernel.supported()) {
                chosen = &kernel;
                break;
            }
        }
    }
    return *chosen;
}

std::size_t translate_block(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state)
{
    return chosen_translate_kernel().translate(in, n, out, state);
}
