#pragma once

// What the translator's kernels share. Each kernel's file is compiled for its own instruction set,
// so they use compiler builtins rather than library templates: an out-of-line copy of a template,
// merged at link time, could carry instructions that the processor lacks into the baseline.

#include <cstddef>
#include <cstdint>

#include "convert/translate.h"

/// The kernels, each with translate_block's contract.
std::size_t translate_block_baseline(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
std::size_t translate_block_avx2(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
std::size_t translate_block_avx512(const unsigned char *in, std::size_t n, unsigned char *out, break_state *state);
