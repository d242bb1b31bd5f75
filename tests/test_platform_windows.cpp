// SPDX-License-Identifier: MIT
#include "tests/test_platform.h"

#include <windows.h>

const char *const text_line_end = "\r\n";

namespace {

// FILETIME counts 100 ns ticks since 1601-01-01 UTC; this many seconds lie between then and 1970.
constexpr std::int64_t ticks_per_second = 10000000;
constexpr std::int64_t seconds_1601_to_1970 = 11644473600;

std::wstring to_utf16(const std::string &text)
{
    // Invalid UTF-8 becomes U+FFFD, as a user could never type it anyway.
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    (void)MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// Quoted so that the C runtime's parser gives the program exactly `argument` back.
std::wstring quoted(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring result = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count double only before a quote, where one more escapes the quote itself.
        result.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    result.append(2 * backslashes, L'\\');
    return result + L"\"";
}

HANDLE inheritable_output(const std::filesystem::path &path)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

FILETIME to_filetime(file_time time)
{
    const std::uint64_t ticks = static_cast<std::uint64_t>((time.seconds + seconds_1601_to_1970) * ticks_per_second +
                                                           time.nanoseconds / 100);
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

file_time from_filetime(const FILETIME &time)
{
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return {static_cast<std::int64_t>(ticks / ticks_per_second) - seconds_1601_to_1970,
            static_cast<long>(ticks % ticks_per_second) * 100};
}

// Only to read or set times: asks for no data, so nothing moves the access time.
HANDLE open_attributes(const std::filesystem::path &path, DWORD access)
{
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

started_program start_program(const launch_request &request)
{
    std::wstring command_line;
    for (const std::string &argument : request.argv)
        command_line += (command_line.empty() ? L"" : L" ") + quoted(to_utf16(argument));
    const HANDLE out = inheritable_output(request.out);
    const HANDLE err = inheritable_output(request.err);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = request.stdin_closed ? nullptr : in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    // The program's own path is taken relative to our folder and drive, as CTest started us.
    const BOOL started = CreateProcessW(to_utf16(request.argv[0]).c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, request.folder.c_str(), &startup, &process);
    for (HANDLE handle : {in, out, err})
        (void)CloseHandle(handle);
    if (!started)
        return {};
    (void)CloseHandle(process.hThread);
    return {static_cast<long>(process.dwProcessId), process.hProcess};
}

program_end wait_for(const started_program &program)
{
    if (program.handle == nullptr)
        return {-1, 0};
    DWORD code = 0;
    const bool ended = WaitForSingleObject(program.handle, INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(program.handle, &code);
    (void)CloseHandle(program.handle);
    return {ended ? static_cast<int>(code) : -1, 0};
}

bool set_file_times(const std::filesystem::path &path, file_time access, file_time modification)
{
    const HANDLE handle = open_attributes(path, FILE_WRITE_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const FILETIME access_time = to_filetime(access), modification_time = to_filetime(modification);
    const BOOL set = SetFileTime(handle, nullptr, &access_time, &modification_time);
    return CloseHandle(handle) && set;
}

bool get_file_times(const std::filesystem::path &path, file_time *access, file_time *modification)
{
    const HANDLE handle = open_attributes(path, FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    FILETIME access_time, modification_time;
    const BOOL got = GetFileTime(handle, nullptr, &access_time, &modification_time);
    (void)CloseHandle(handle);
    if (!got)
        return false;
    *access = from_filetime(access_time);
    *modification = from_filetime(modification_time);
    return true;
}
