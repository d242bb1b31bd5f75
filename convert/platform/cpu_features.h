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

/// Asks the processor itself with CPUID (three times); each one traps to the hypervisor on a
/// virtual machine, so this runs at most once, and only where no cheaper answer exists.
unsigned probe_x86_features();
