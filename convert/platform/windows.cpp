// SPDX-License-Identifier: MIT
#include "convert/platform/platform.h"
#include "convert/platform/windows_names.h"

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// FILETIME counts 100 ns ticks since 1601-01-01 UTC; this many seconds lie between then and 1970.
constexpr std::int64_t ticks_per_second = 10000000;
constexpr std::int64_t seconds_1601_to_1970 = 11644473600;

// Others may read and write either file while we work, but not delete or rename it under us.
constexpr DWORD share_read_write = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Only to read or set times: stand in nobody's way.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The UTF-8 names of the command line as the UTF-16 that the wide calls take; empty if not UTF-8.
std::wstring to_utf16(const char *name)
{
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide.data(), size) != size)
        return {};
    wide.resize(static_cast<std::size_t>(size) - 1);
    return wide;
}

// Opens by UTF-8 name, of any length; an empty or unconvertible name opens nothing.
HANDLE open_by_name(const char *name, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    const std::wstring wide = to_utf16(name);
    if (wide.empty())
        return INVALID_HANDLE_VALUE;
    return CreateFileW(name_for_system(wide).c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Handles keep to 32 bits (Windows shares them with 32-bit programs): an int holds one, and
// INVALID_HANDLE_VALUE is -1. Not C runtime descriptors: making one reads the file under Wine.
int to_descriptor(HANDLE handle)
{
    const intptr_t value = reinterpret_cast<intptr_t>(handle);
    if (handle == INVALID_HANDLE_VALUE || value < 0 || value > INT_MAX) {
        if (handle != INVALID_HANDLE_VALUE)
            (void)CloseHandle(handle);
        return -1;
    }
    return static_cast<int>(value);
}

HANDLE to_handle(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

// Divided while counted from 1601, never negative, so times before 1970 round down, not up.
std::int64_t to_unix_seconds(const FILETIME &time)
{
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / ticks_per_second) - seconds_1601_to_1970;
}

// False beyond FILETIME's range, and at 1601 exactly: SetFileTime skips a zero FILETIME.
bool to_filetime(std::int64_t unix_seconds, FILETIME *time)
{
    if (unix_seconds <= -seconds_1601_to_1970 || unix_seconds > INT64_MAX / ticks_per_second - seconds_1601_to_1970)
        return false;
    const std::uint64_t ticks = static_cast<std::uint64_t>((unix_seconds + seconds_1601_to_1970) * ticks_per_second);
    time->dwLowDateTime = static_cast<DWORD>(ticks);
    time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return true;
}

file_times to_file_times(const FILETIME &access, const FILETIME &modification)
{
    file_times times;
    // No access time recorded reads as zero, which the job then fills from the modification time.
    times.access = access.dwLowDateTime == 0 && access.dwHighDateTime == 0 ? 0 : to_unix_seconds(access);
    times.modification = to_unix_seconds(modification);
    return times;
}

// Volume serial and file ID: what tells two names of one file apart from two files.
bool identify(HANDLE handle, std::uint64_t *volume, std::uint64_t *file, BY_HANDLE_FILE_INFORMATION *information)
{
    if (!GetFileInformationByHandle(handle, information))
        return false;
    *volume = information->dwVolumeSerialNumber;
    *file = (static_cast<std::uint64_t>(information->nFileIndexHigh) << 32) | information->nFileIndexLow;
    // ReFS numbers files in 128 bits: folded, one file still matches itself, never less often.
    FILE_ID_INFO id_information;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id_information, sizeof id_information)) {
        std::uint64_t halves[2];
        static_assert(sizeof halves == sizeof id_information.FileId.Identifier);
        std::memcpy(halves, id_information.FileId.Identifier, sizeof halves);
        *volume = id_information.VolumeSerialNumber;
        *file = halves[0] ^ halves[1];
    }
    return true;
}

// A second handle to the copy, with the right to delete it, while it is incomplete. The console
// handler runs on a thread of its own: whoever takes the handle out first, handler or job, owns it.
std::atomic<HANDLE> removable_copy{nullptr};
// Left in its place by the handler, so the job knows the process is ending and must not go on.
const HANDLE taken_by_handler = INVALID_HANDLE_VALUE;

// Marks the open file for deletion; the system removes it when its last handle closes.
bool mark_for_deletion(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The job's own share of the armed handle, or nothing if it was never armed or is already given up.
HANDLE take_removable_copy()
{
    const HANDLE copy = removable_copy.exchange(nullptr);
    // The handler has it and ends the process as soon as the copy is marked; going on could race it.
    if (copy == taken_by_handler)
        Sleep(INFINITE);
    return copy;
}

// Ctrl-C, Ctrl-Break or a closed console: remove the incomplete copy, then end as without a handler.
BOOL WINAPI remove_copy_and_end(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    HANDLE copy = removable_copy.load();
    do {
        // Not armed any more: the next handler, in the end the system's own, gives the usual effect.
        if (copy == nullptr)
            return FALSE;
        // A second event while the first removes: that one ends the process.
        if (copy == taken_by_handler)
            Sleep(INFINITE);
    } while (!removable_copy.compare_exchange_weak(copy, taken_by_handler));
    (void)mark_for_deletion(copy);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// The extended form of `full`, a name the system has made absolute and cleaned up.
std::wstring extended_form(const std::wstring &full)
{
    // A device name (\\.\) means the same with \\?\ once clean; one already extended stays.
    if (full.starts_with(L"\\\\.\\"))
        return L"\\\\?\\" + full.substr(4);
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\??\\"))
        return full;
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace

std::wstring name_for_system(const std::wstring &name)
{
    // The size asked for counts the terminator; 0 when the system cannot make the name absolute,
    // which then fails the plain name as well.
    const DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size <= MAX_PATH)
        return name;
    // The extended form skips the system's clean-up: the absolute form is that clean-up, done first.
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return name;
    full.resize(length);
    return extended_form(full);
}

int query_file_times(const char *name, file_times *times)
{
    // Backup semantics let a folder open too, as stat finds one; the job turns it down later.
    const HANDLE handle = open_by_name(name, FILE_READ_ATTRIBUTES, share_all, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    FILETIME access, modification;
    const BOOL got = GetFileTime(handle, nullptr, &access, &modification);
    (void)CloseHandle(handle);
    if (!got)
        return -1;
    *times = to_file_times(access, modification);
    return 0;
}

int open_input(const char *name)
{
    return to_descriptor(open_by_name(name, GENERIC_READ, share_read_write, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
}

int open_output(const char *name, unsigned)
{
    // Windows has no permission bits to narrow: a new copy takes its folder's default security.
    // The right to delete lets an interrupt remove an incomplete copy through a handle of our own,
    // as no name can while we hold the file; where it is refused, the copy is still written.
    HANDLE handle = open_by_name(name, GENERIC_WRITE | DELETE, share_read_write, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION))
        handle = open_by_name(name, GENERIC_WRITE, share_read_write, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    return to_descriptor(handle);
}

int describe_file(int fd, file_identity *identity)
{
    const HANDLE handle = to_handle(fd);
    *identity = file_identity{};
    // Times first: Wine reads the head of a file to tell its type, which moves its access time.
    FILETIME access, modification;
    const bool has_times = GetFileTime(handle, nullptr, &access, &modification);
    // A console, pipe or device has no file index; it is nothing the job could truncate or remove.
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return 0;
    if (!has_times)
        return -1;
    BY_HANDLE_FILE_INFORMATION information;
    if (!identify(handle, &identity->device, &identity->inode, &information))
        return -1;
    identity->size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    identity->permissions = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0644;
    identity->is_directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity->is_regular = !identity->is_directory;
    identity->times = to_file_times(access, modification);
    return 0;
}

int truncate_file(int fd)
{
    const HANDLE handle = to_handle(fd);
    LARGE_INTEGER start;
    start.QuadPart = 0;
    return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(handle) ? 0 : -1;
}

void advise_sequential(int)
{
    // Given to the system already when the input was opened (FILE_FLAG_SEQUENTIAL_SCAN).
}

long read_some(int fd, void *buffer, std::size_t size)
{
    // One call moves at most a DWORD's worth; keep well inside it.
    const DWORD chunk = size > INT_MAX ? INT_MAX : static_cast<DWORD>(size);
    DWORD got = 0;
    if (ReadFile(to_handle(fd), buffer, chunk, &got, nullptr))
        return static_cast<long>(got);
    // A pipe whose writer has gone is at its end, as on POSIX.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

int write_all(int fd, const void *buffer, std::size_t size)
{
    const HANDLE handle = to_handle(fd);
    const char *p = static_cast<const char *>(buffer);
    while (size > 0) {
        const DWORD chunk = size > INT_MAX ? INT_MAX : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!WriteFile(handle, p, chunk, &put, nullptr))
            return -1;
        if (put == 0) // no error and no progress: retrying could spin forever
            return -1;
        p += put;
        size -= put;
    }
    return 0;
}

int close_file(int fd)
{
    return CloseHandle(to_handle(fd)) ? 0 : -1;
}

int set_file_times(const char *name, const file_times *times)
{
    FILETIME access, modification;
    if (!to_filetime(times->access, &access) || !to_filetime(times->modification, &modification))
        return -1;
    const HANDLE handle = open_by_name(name, FILE_WRITE_ATTRIBUTES, share_all, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    // The creation time (nullptr) stays the copy's own.
    const BOOL set = SetFileTime(handle, nullptr, &access, &modification);
    return CloseHandle(handle) && set ? 0 : -1;
}

void ignore_write_signals()
{
    // Nothing to do: a full disk or a reader that went away is already a write error here.
}

void arm_copy_removal(int fd, const char *)
{
    // The handle is the file itself, past any link in its name, so the link stays and nothing else goes.
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), to_handle(fd), GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return;
    removable_copy.store(copy);
    // Installed only now: before the copy is opened and after it is complete, the usual effect.
    (void)SetConsoleCtrlHandler(remove_copy_and_end, TRUE);
}

int remove_armed_copy()
{
    (void)SetConsoleCtrlHandler(remove_copy_and_end, FALSE);
    const HANDLE copy = take_removable_copy();
    if (copy == nullptr)
        return -1;
    const bool marked = mark_for_deletion(copy);
    return CloseHandle(copy) && marked ? 0 : -1;
}

void disarm_copy_removal()
{
    (void)SetConsoleCtrlHandler(remove_copy_and_end, FALSE);
    const HANDLE copy = take_removable_copy();
    if (copy != nullptr)
        (void)CloseHandle(copy);
}

int features_found_by_loader(unsigned *features)
{
    // Windows names no AVX-512 subsets: the translator asks the processor once, when it pays.
    (void)features;
    return -1;
}
