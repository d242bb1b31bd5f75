// SPDX-License-Identifier: MIT
// Preloaded into the real eolfix by the command-line tests to make system calls fail or fall short.
// EOLFIX_FAULT names the one fault of the run:
//   close-eio       closing a descriptor open for writing fails with EIO (after really closing it)
//   short-writes    every write moves at most 4097 bytes
//   zero-writes     every write returns 0: no error, and no byte written
//   eintr           every other read and every other write fails with EINTR before doing anything
//   ftruncate-eio   every ftruncate fails with EIO and changes nothing
//   signals-at-times  SIGINT, then SIGTERM, arrive as the copy's times are set (the copy is complete)
//   grows           the first read of a file first appends 50000 times "grown\r\n" to it

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum fault_kind { FAULT_NONE, FAULT_CLOSE_EIO, FAULT_SHORT_WRITES, FAULT_ZERO_WRITES, FAULT_EINTR, FAULT_FTRUNCATE_EIO,
                  FAULT_SIGNALS_AT_TIMES, FAULT_GROWS };

fault_kind injected_fault()
{
    static const fault_kind kind = [] {
        const char *name = std::getenv("EOLFIX_FAULT");
        if (name == nullptr)
            return FAULT_NONE;
        if (std::strcmp(name, "close-eio") == 0)
            return FAULT_CLOSE_EIO;
        if (std::strcmp(name, "short-writes") == 0)
            return FAULT_SHORT_WRITES;
        if (std::strcmp(name, "zero-writes") == 0)
            return FAULT_ZERO_WRITES;
        if (std::strcmp(name, "eintr") == 0)
            return FAULT_EINTR;
        if (std::strcmp(name, "ftruncate-eio") == 0)
            return FAULT_FTRUNCATE_EIO;
        if (std::strcmp(name, "signals-at-times") == 0)
            return FAULT_SIGNALS_AT_TIMES;
        if (std::strcmp(name, "grows") == 0)
            return FAULT_GROWS;
        std::abort(); // a misspelt fault must not pass for a run without one
    }();
    return kind;
}

// The C library's own function of that name, the one the program would have reached without us.
template <class Function>
Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// True on every second call for each counter, starting with the first.
bool interrupt_this_call(unsigned *calls)
{
    return injected_fault() == FAULT_EINTR && (*calls)++ % 2 == 0;
}

} // namespace

extern "C" {

ssize_t read(int fd, void *buffer, size_t size)
{
    static const auto real_read = next_definition<ssize_t (*)(int, void *, size_t)>("read");
    static unsigned calls = 0;
    if (interrupt_this_call(&calls)) {
        errno = EINTR;
        return -1;
    }
    static bool grown = false;
    if (injected_fault() == FAULT_GROWS && !grown && fd > 2) {
        // As another program appending to the input after it was measured and before it is read.
        grown = true;
        static char growth[50000 * 7];
        for (std::size_t i = 0; i < sizeof growth; i += 7)
            std::memcpy(growth + i, "grown\r\n", 7);
        char path[64];
        (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        const int appender = open(path, O_WRONLY | O_APPEND);
        if (appender < 0 || write(appender, growth, sizeof growth) != static_cast<ssize_t>(sizeof growth))
            std::abort();
        (void)close(appender);
    }
    return real_read(fd, buffer, size);
}

ssize_t write(int fd, const void *buffer, size_t size)
{
    static const auto real_write = next_definition<ssize_t (*)(int, const void *, size_t)>("write");
    static unsigned calls = 0;
    if (interrupt_this_call(&calls)) {
        errno = EINTR;
        return -1;
    }
    if (injected_fault() == FAULT_ZERO_WRITES && size > 0)
        return 0;
    if (injected_fault() == FAULT_SHORT_WRITES && size > 4097)
        size = 4097;
    return real_write(fd, buffer, size);
}

int close(int fd)
{
    static const auto real_close = next_definition<int (*)(int)>("close");
    // Standard output and error are the test's files, not the program's copy.
    const bool written = fd > 2 && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY;
    const int result = real_close(fd);
    if (result == 0 && written && injected_fault() == FAULT_CLOSE_EIO) {
        errno = EIO;
        return -1;
    }
    return result;
}

int ftruncate(int fd, off_t length)
{
    static const auto real_ftruncate = next_definition<int (*)(int, off_t)>("ftruncate");
    if (injected_fault() == FAULT_FTRUNCATE_EIO) {
        errno = EIO;
        return -1;
    }
    return real_ftruncate(fd, length);
}

// Where off_t is 32 bits wide, a program built for large files calls this name instead.
int ftruncate64(int fd, off64_t length)
{
    static const auto real_ftruncate64 = next_definition<int (*)(int, off64_t)>("ftruncate64");
    if (injected_fault() == FAULT_FTRUNCATE_EIO) {
        errno = EIO;
        return -1;
    }
    return real_ftruncate64(fd, length);
}

int utimensat(int folder, const char *path, const struct timespec times[2], int flags)
{
    static const auto real_utimensat = next_definition<int (*)(int, const char *, const struct timespec *, int)>("utimensat");
    if (injected_fault() == FAULT_SIGNALS_AT_TIMES) {
        (void)raise(SIGINT);
        (void)raise(SIGTERM);
    }
    return real_utimensat(folder, path, times, flags);
}

} // extern "C"
