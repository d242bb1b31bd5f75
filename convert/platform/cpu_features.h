// SPDX-License-Identifier: MIT
#pragma once

/// The x86 instruction sets the vector translators need beyond the target's baseline, as bits.
/// Each counts only where the processor has it and the system saves the registers it uses.
constexpr unsigned X86_SSSE3 = 1U << 0;
constexpr unsigned X86_POPCNT = 1U << 1;
constexpr unsigned X86_AVX2 = 1U << 2;
constexpr unsigned X86_BMI2 = 1U << 3;
constexpr unsigned X86_AVX512BW = 1U << 4; ///< with the foundation and the 128- and 256-bit forms
constexpr unsigned X86_AVX512VBMI = 1U << 5;
constexpr unsigned X86_AVX512VBMI2 = 1U << 6;

/// What CPUID leaves 0, 1 and 7 and XCR0 say, as far as the translators care.
struct x86_cpuid_words {
    unsigned max_leaf; ///< leaf 0's EAX
    unsigned leaf1_ecx;
    unsigned leaf7_ebx; ///< leaf 7 subleaf 0; 0 where max_leaf is below 7
    unsigned leaf7_ecx;
    unsigned long long saved_states; ///< XCR0; 0 where leaf 1 shows no OSXSAVE
};

/// The X86_ bits those words grant: an instruction set counts where the system saves its registers.
unsigned x86_features_from(const x86_cpuid_words &words);

/// Asks the processor itself with CPUID (three times); each one traps to the hypervisor on a
/// virtual machine, so this runs at most once, and only where no cheaper answer exists.
unsigned probe_x86_features();
