// SPDX-License-Identifier: MIT
#include "convert/translate.h"

#include "convert/kernels/kernels.h"
#include "convert/line_mode.h"
#include "convert/platform/cpu_features.h"
#include "convert/platform/platform.h"

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;

[[maybe_unused]] bool always_supported() { return true; }

#if EOLFIX_X86
// Where the C library found the processor's features as it loaded us, reading them costs nothing;
// elsewhere our own CPUID probe runs, once.
unsigned x86_features()
{
    static bool known = false;
    static unsigned features = 0;
    if (!known) {
        if (features_found_by_loader(&features) != 0)
            features = probe_x86_features();
        known = true;
    }
    return features;
}

[[maybe_unused]] bool has_x86(unsigned wanted) { return (x86_features() & wanted) == wanted; }
[[maybe_unused]] bool avx512_supported()
{
    return has_x86(X86_AVX512BW | X86_AVX512VBMI | X86_AVX512VBMI2 | X86_BMI2 | X86_POPCNT);
}
[[maybe_unused]] bool avx2_supported() { return has_x86(X86_AVX2 | X86_BMI2 | X86_POPCNT); }
[[maybe_unused]] bool sse_supported() { return has_x86(X86_SSSE3); }

// Whether choosing a kernel would run the probe: then a block too small for a vector kernel to
// repay the CPUIDs' cost under a hypervisor (tens of microseconds each) goes the portable way.
bool choosing_costs()
{
    unsigned ignored = 0;
    return features_found_by_loader(&ignored) != 0;
}
#else
bool choosing_costs() { return false; }
#endif

// Fastest first. Each kernel's own file is compiled for its instruction set, so nothing of it may
// run before its check here says the processor has that set. A build for one kernel holds it alone.
const translate_kernel kernels[] = {
#if EOLFIX_KERNEL_AVX512
    {"avx512", avx512_supported, translate_block_avx512},
#endif
#if EOLFIX_KERNEL_AVX2
    {"avx2", avx2_supported, translate_block_avx2},
#endif
#if EOLFIX_KERNEL_SSE
    {"sse", sse_supported, translate_block_sse},
#endif
#if EOLFIX_KERNEL_NEON
    {"neon", always_supported, translate_block_neon},
#endif
#if EOLFIX_KERNEL_BASELINE
    {"baseline", always_supported, translate_block_baseline},
#endif
};

// Blocks smaller than this never make the program ask the processor what it has.
constexpr std::size_t probe_repaid_size = 128 * 1024;

const translate_kernel *chosen = nullptr; // asked once: the processor does not change while we run

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
    // A plain pointer, not a guarded static, so the program needs nothing from the C++ runtime.
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
    if (chosen == nullptr && n < probe_repaid_size && choosing_costs())
        return kernels[std::size(kernels) - 1].translate(in, n, out, state);
    return chosen_translate_kernel().translate(in, n, out, state);
}
