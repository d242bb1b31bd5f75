// SPDX-License-Identifier: MIT
#pragma once
// The inputs of the in-memory benchmarks, made the same way as bench/run.py's files.

#include <cstddef>
#include <random>
#include <string>
#include <vector>

// Text lines as long as real ones, the C and C++ headers installed on Debian among them: an eighth
// empty, the rest 1 to 76 bytes, 34 on average; and long lines of 20 to 120 bytes, 70 on average.
enum shape { DOS_TEXT, UNIX_TEXT, MIXED_TEXT, DOS_LONG, UNIX_LONG, MIXED_LONG, BINARY, ALL_LF, SHORT_LINES };
inline const char *const shape_names[] = {"dos-text",   "unix-text", "mixed-text", "dos-long",   "unix-long",
                                          "mixed-long", "binary",    "all-lf",     "short-lines"};

inline std::size_t line_length(shape kind, std::mt19937 &rng)
{
    switch (kind) {
    case SHORT_LINES:
        return rng() % 13;
    case DOS_LONG:
    case UNIX_LONG:
    case MIXED_LONG:
        return 20 + rng() % 101;
    default:
        return rng() % 8 == 0 ? 0 : 1 + rng() % 76;
    }
}

// `size` bytes of one shape, the same every time.
inline std::vector<unsigned char> make_input(shape kind, std::size_t size)
{
    std::mt19937 rng(7);
    std::vector<unsigned char> in;
    const char *const breaks[] = {"\r\n", "\n", "\r", "\n\r"};
    while (in.size() < size) {
        if (kind == BINARY || kind == ALL_LF) {
            in.push_back(kind == ALL_LF ? '\n' : static_cast<unsigned char>(rng()));
            continue;
        }
        const std::size_t length = line_length(kind, rng);
        for (std::size_t i = 0; i < length; ++i)
            in.push_back(static_cast<unsigned char>('a' + rng() % 26));
        const std::string brk = kind == MIXED_TEXT || kind == MIXED_LONG ? breaks[rng() % 4]
                                : kind == UNIX_TEXT || kind == UNIX_LONG ? "\n"
                                                                         : "\r\n";
        in.insert(in.end(), brk.begin(), brk.end());
    }
    in.resize(size);
    return in;
}
