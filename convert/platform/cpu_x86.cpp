// SPDX-License-Identifier: MIT
#include "convert/platform/cpu_features.h"

#include <cpuid.h>

namespace {

// The register states the system saves on a task switch (XCR0); only read where it says it has one.
unsigned long long saved_register_states()
{
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return static_cast<unsigned long long>(high) << 32 | low;
}

bool bit(unsigned word, unsigned index) { return (word >> index & 1) != 0; }

} // namespace

unsigned x86_features_from(const x86_cpuid_words &words)
{
    if (words.max_leaf < 1)
        return 0;
    unsigned features = 0;
    if (bit(words.leaf1_ecx, 9))
        features |= X86_SSSE3;
    if (bit(words.leaf1_ecx, 23))
        features |= X86_POPCNT;
    const unsigned long long states = words.saved_states;
    const bool ymm_saved = bit(words.leaf1_ecx, 28) && (states & 0x06) == 0x06; // AVX, and SSE and AVX state
    const bool zmm_saved = ymm_saved && (states & 0xE0) == 0xE0;                // masks and the upper registers
    if (words.max_leaf < 7)
        return features;
    if (bit(words.leaf7_ebx, 8))
        features |= X86_BMI2;
    if (ymm_saved && bit(words.leaf7_ebx, 5))
        features |= X86_AVX2;
    // foundation, bytes and words, lengths
    if (zmm_saved && bit(words.leaf7_ebx, 16) && bit(words.leaf7_ebx, 30) && bit(words.leaf7_ebx, 31))
        features |= X86_AVX512BW;
    if (zmm_saved && bit(words.leaf7_ecx, 1))
        features |= X86_AVX512VBMI;
    if (zmm_saved && bit(words.leaf7_ecx, 6))
        features |= X86_AVX512VBMI2;
    return features;
}

unsigned probe_x86_features()
{
    x86_cpuid_words words{};
    words.max_leaf = __get_cpuid_max(0, nullptr);
    unsigned eax = 0, ebx = 0, edx = 0;
    if (words.max_leaf >= 1) {
        __cpuid(1, eax, ebx, words.leaf1_ecx, edx);
        if (bit(words.leaf1_ecx, 27)) // OSXSAVE: without it, xgetbv faults
            words.saved_states = saved_register_states();
    }
    if (words.max_leaf >= 7)
        __cpuid_count(7, 0, eax, words.leaf7_ebx, words.leaf7_ecx, edx);
    return x86_features_from(words);
}
