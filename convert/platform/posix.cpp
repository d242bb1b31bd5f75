// SPDX-License-Identifier: MIT
#include "convert/platform/platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include "convert/platform/cpu_features.h"

// glibc 2.33 and later tell what the loader found; x86.h is there only on x86.
#if defined(__GLIBC__) && __has_include(<sys/platform/x86.h>)
// The header spells bool as C does: g++ takes that in C++, clang++ does not.
#if defined(__clang__)
#define _Bool bool
#endif
#include <sys/platform/x86.h>
#if defined(__clang__)
#undef _Bool
#endif
#define EOLFIX_LOADER_FEATURES 1
#endif

// A 32-bit build without large-file and 64-bit time support would skip big or late files quietly.
static_assert(sizeof(off_t) == 8 && sizeof(time_t) == 8, "build with _FILE_OFFSET_BITS=64 and _TIME_BITS=64");

int query_file_times(const char *name, file_times *times)
{
    struct stat status;
    if (stat(name, &status) != 0)
        return -1;
    times->access = static_cast<std::int64_t>(status.st_atim.tv_sec);
    times->modification = static_cast<std::int64_t>(status.st_mtim.tv_sec);
    return 0;
}

int open_input(const char *name)
{
    return open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

int open_output(const char *name, unsigned permissions)
{
    return open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, static_cast<mode_t>(permissions));
}

int describe_file(int fd, file_identity *identity)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return -1;
    identity->device = static_cast<std::uint64_t>(status.st_dev);
    identity->inode = static_cast<std::uint64_t>(status.st_ino);
    identity->size = static_cast<std::uint64_t>(status.st_size);
    identity->permissions = static_cast<unsigned>(status.st_mode & 07777);
    identity->is_directory = S_ISDIR(status.st_mode);
    identity->is_regular = S_ISREG(status.st_mode);
    identity->times.access = static_cast<std::int64_t>(status.st_atim.tv_sec);
    identity->times.modification = static_cast<std::int64_t>(status.st_mtim.tv_sec);
    return 0;
}

int truncate_file(int fd)
{
    return ftruncate(fd, 0) == 0 ? 0 : -1;
}

void advise_sequential(int fd)
{
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

long read_some(int fd, void *buffer, std::size_t size)
{
    // Linux moves at most about 2 GiB per call; asking for more only invites surprises.
    if (size > INT_MAX)
        size = INT_MAX;
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno != EINTR)
            return -1;
    }
}

int write_all(int fd, const void *buffer, std::size_t size)
{
    const char *p = static_cast<const char *>(buffer);
    while (size > 0) {
        const std::size_t chunk = size > INT_MAX ? INT_MAX : size;
        const ssize_t put = write(fd, p, chunk);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (put == 0) { // no error and no progress: retrying could spin forever
            errno = ENOSPC;
            return -1;
        }
        p += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

int close_file(int fd)
{
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    return close(fd) == 0 ? 0 : -1;
}

int set_file_times(const char *name, const file_times *times)
{
    struct timespec both[2];
    both[0].tv_sec = static_cast<time_t>(times->access);
    both[0].tv_nsec = 0;
    both[1].tv_sec = static_cast<time_t>(times->modification);
    both[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, name, both, 0) == 0 ? 0 : -1;
}

namespace {

// Filled before any handler is installed, so the handler only reads them.
char armed_name[PATH_MAX];
dev_t armed_device;
ino_t armed_inode;
sigset_t caught_signals; // the ending signals that have our handler, not the caller's SIG_IGN

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Async-signal-safe. Device and inode tell whether the name still leads to the file we wrote.
int remove_if_still_the_copy()
{
    struct stat status;
    if (lstat(armed_name, &status) != 0 || status.st_dev != armed_device || status.st_ino != armed_inode)
        return -1;
    return unlink(armed_name) == 0 ? 0 : -1;
}

void remove_copy_and_end(int signal_number)
{
    (void)remove_if_still_the_copy();
    struct sigaction usual {};
    usual.sa_handler = SIG_DFL;
    (void)sigaction(signal_number, &usual, nullptr);
    // Blocked while its own handler runs; unblocked, the raise ends the process at once.
    sigset_t just_this;
    (void)sigemptyset(&just_this);
    (void)sigaddset(&just_this, signal_number);
    (void)sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    (void)raise(signal_number);
}

} // namespace

void ignore_write_signals()
{
    (void)signal(SIGXFSZ, SIG_IGN);
    (void)signal(SIGPIPE, SIG_IGN);
}

void arm_copy_removal(int fd, const char *name)
{
    struct stat copy;
    armed_name[0] = '\0';
    if (fstat(fd, &copy) != 0)
        return;
    armed_device = copy.st_dev;
    armed_inode = copy.st_ino;
    // The file a link leads to holds the data; if it cannot be resolved, the identity check still
    // keeps a link from being removed. A name that opened is shorter than PATH_MAX.
    if (realpath(name, armed_name) == nullptr && std::strlen(name) < sizeof armed_name)
        (void)std::strcpy(armed_name, name);

    struct sigaction action {};
    action.sa_handler = remove_copy_and_end;
    (void)sigemptyset(&action.sa_mask);
    for (int signal_number : ending_signals)
        (void)sigaddset(&action.sa_mask, signal_number); // a second signal waits while the first removes
    (void)sigemptyset(&caught_signals);
    for (int signal_number : ending_signals) {
        struct sigaction previous {};
        // Ignored by the caller (nohup, a background job): ignored by us too, as without a copy.
        if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signal_number, &action, nullptr) == 0)
            (void)sigaddset(&caught_signals, signal_number);
    }
}

int remove_armed_copy()
{
    // A signal between the two is harmless: the handler finds the copy gone and removes nothing.
    const int result = remove_if_still_the_copy();
    disarm_copy_removal();
    return result;
}

void disarm_copy_removal()
{
    struct sigaction usual {};
    usual.sa_handler = SIG_DFL;
    for (int signal_number : ending_signals) {
        if (sigismember(&caught_signals, signal_number) == 1)
            (void)sigaction(signal_number, &usual, nullptr);
    }
    (void)sigemptyset(&caught_signals);
}

int features_found_by_loader(unsigned *features)
{
#if EOLFIX_LOADER_FEATURES
    unsigned found = 0;
    found |= CPU_FEATURE_ACTIVE(SSSE3) ? X86_SSSE3 : 0;
    found |= CPU_FEATURE_ACTIVE(POPCNT) ? X86_POPCNT : 0;
    found |= CPU_FEATURE_ACTIVE(AVX2) ? X86_AVX2 : 0;
    found |= CPU_FEATURE_ACTIVE(BMI2) ? X86_BMI2 : 0;
    const bool avx512bw = CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512BW) && CPU_FEATURE_ACTIVE(AVX512VL);
    found |= avx512bw ? X86_AVX512BW : 0;
    found |= CPU_FEATURE_ACTIVE(AVX512_VBMI) ? X86_AVX512VBMI : 0;
    found |= CPU_FEATURE_ACTIVE(AVX512_VBMI2) ? X86_AVX512VBMI2 : 0;
    *features = found;
    return 0;
#else
    (void)features;
    return -1;
#endif
}

unsigned char *allocate_aligned(std::size_t alignment, std::size_t size)
{
    // From the heap rather than a mapping of its own: mapping, faulting in and unmapping a fresh
    // region costs a 64 KiB file's run about a tenth more than heap pages do.
    (void)mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    return static_cast<unsigned char *>(std::aligned_alloc(alignment, size));
}

void free_aligned(unsigned char *block)
{
    std::free(block);
}
