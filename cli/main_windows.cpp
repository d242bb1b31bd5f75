// SPDX-License-Identifier: MIT
// The Windows entry: UTF-16 arguments passed on as UTF-8, so a name in any script arrives whole.

#include <windows.h>

#include <string>
#include <vector>

#include "cli/command_line.h"

namespace {

// Empty for broken UTF-16: that names no file, where a replacement character could name another.
std::string to_utf8(const wchar_t *argument)
{
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string utf8(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, -1, utf8.data(), size, nullptr, nullptr) != size)
        return {};
    utf8.resize(static_cast<std::size_t>(size) - 1); // the terminator the string keeps anyway
    return utf8;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(to_utf8(argv[i]));
    std::vector<char *> pointers;
    for (std::string &argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return run_command_line(argc, pointers.data());
}
