// SPDX-License-Identifier: MIT
#pragma once

// The reference every faster path is checked against, shared by the tests and the fuzz target.

#include <cstddef>

#include "convert/translate.h"

/// `in` one byte at a time through the break state table, for current_mode. `Bytes` is any
/// container of char-sized bytes: std::string, std::vector<unsigned char>, ...
template <class Bytes>
Bytes translate_bytewise(const Bytes &in)
{
    Bytes out;
    break_state state = BREAK_NONE;
    unsigned char step[2];
    for (const auto byte : in) {
        const std::size_t written = translate_byte(static_cast<unsigned char>(byte), &state, step);
        out.insert(out.end(), step, step + written);
    }
    return out;
}
