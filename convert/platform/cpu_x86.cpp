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

unsigned probe_x86_features()
{
    const unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf < 1)
        return 0;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(1, eax, ebx, ecx, edx);
    unsigned features = 0;
    if (bit(ecx, 9))
        features |= X86_SSSE3;
    if (bit(ecx, 23))
        features |= X86_POPCNT;
    const unsigned long long states = bit(ecx, 27) ? saved_register_states() : 0;
    const bool ymm_saved = bit(ecx, 28) && (states & 0x06) == 0x06;      // AVX, and SSE and AVX state
    const bool zmm_saved = ymm_saved && (states & 0xE0) == 0xE0;         // masks and the upper registers
    if (max_leaf < 7)
        return features;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (bit(ebx, 8))
        features |= X86_BMI2;
    if (ymm_saved && bit(ebx, 5))
        features |= X86_AVX2;
    if (zmm_saved && bit(ebx, 16) && bit(ebx, 30) && bit(ebx, 31)) // foundation, bytes and words, lengths
        features |= X86_AVX512BW;
    if (zmm_saved && bit(ecx, 1))
        features |= X86_AVX512VBMI;
    if (zmm_saved && bit(ecx, 6))
        features |= X86_AVX512VBMI2;
    return features;
}
