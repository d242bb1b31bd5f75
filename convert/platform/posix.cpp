// SPDX-License-Identifier: MIT
#include "convert/platform/platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>
#include <fcntl.h>
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

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Once installed the handlers stay: disarming only clears `armed`, which costs no system call.
volatile std::sig_atomic_t armed = 0;
// While the handlers go in, a signal waits here until we know whether the caller ignored it.
volatile std::sig_atomic_t arming = 0;
volatile std::sig_atomic_t deferred[std::size(ending_signals)];

// Follows the links at the end of `name` to the file that holds the data, with readlink alone, as a
// signal handler may; unlink itself follows those in the folders on the way. On any trouble
// `target` holds the last name reached, which the identity check then turns down.
void follow_final_links(const char *name, char *target)
{
    std::size_t length = 0;
    for (; name[length] != '\0'; ++length)
        target[length] = name[length];
    target[length] = '\0';
    for (int hops = 0; hops < 40; ++hops) { // as many as the kernel follows in one name
        char link[PATH_MAX];
        const ssize_t got = readlink(target, link, sizeof link);
        if (got <= 0 || static_cast<std::size_t>(got) >= sizeof link)
            return; // not a link, or gone
        std::size_t folder = 0; // a relative link starts in the folder that holds it
        if (link[0] != '/')
            for (std::size_t i = 0; i < length; ++i)
                if (target[i] == '/')
                    folder = i + 1;
        if (folder + static_cast<std::size_t>(got) >= PATH_MAX)
            return;
        for (ssize_t i = 0; i < got; ++i)
            target[folder + static_cast<std::size_t>(i)] = link[i];
        length = folder + static_cast<std::size_t>(got);
        target[length] = '\0';
    }
}

// Async-signal-safe. Device and inode tell whether the name still leads to the file we wrote.
int remove_if_still_the_copy()
{
    if (armed_name[0] == '\0')
        return -1;
    char target[PATH_MAX];
    follow_final_links(armed_name, target);
    struct stat status;
    if (lstat(target, &status) != 0 || status.st_dev != armed_device || status.st_ino != armed_inode)
        return -1;
    return unlink(target) == 0 ? 0 : -1;
}

void end_as_if_not_caught(int signal_number)
{
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

void on_ending_signal(int signal_number)
{
    if (arming != 0) {
        for (std::size_t i = 0; i < std::size(ending_signals); ++i)
            if (ending_signals[i] == signal_number)
                deferred[i] = 1;
        return;
    }
    if (armed != 0)
        (void)remove_if_still_the_copy();
    end_as_if_not_caught(signal_number);
}

} // namespace

void ignore_write_signals()
{
    // Blocked rather than ignored, in one call: the write fails with EPIPE or EFBIG all the same.
    sigset_t write_signals;
    (void)sigemptyset(&write_signals);
    (void)sigaddset(&write_signals, SIGXFSZ);
    (void)sigaddset(&write_signals, SIGPIPE);
    (void)sigprocmask(SIG_BLOCK, &write_signals, nullptr);
}

void arm_copy_removal(int fd, const char *name)
{
    struct stat copy;
    armed_name[0] = '\0';
    // A name that opened is shorter than PATH_MAX; its links are followed only if it is removed.
    if (fstat(fd, &copy) != 0 || std::strlen(name) >= sizeof armed_name)
        return;
    armed_device = copy.st_dev;
    armed_inode = copy.st_ino;
    (void)std::strcpy(armed_name, name);

    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    (void)sigemptyset(&action.sa_mask);
    for (int signal_number : ending_signals)
        (void)sigaddset(&action.sa_mask, signal_number); // a second signal waits while the first removes
    // One call a signal installs ours and shows the caller's; one the caller ignored (nohup, a
    // background job) is ignored again, as without a copy, and was never acted on meanwhile.
    arming = 1;
    bool caught[std::size(ending_signals)] = {};
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        deferred[i] = 0;
        struct sigaction previous {};
        if (sigaction(ending_signals[i], &action, &previous) != 0)
            continue;
        caught[i] = previous.sa_handler != SIG_IGN;
        if (!caught[i])
            (void)sigaction(ending_signals[i], &previous, nullptr);
    }
    armed = 1;
    arming = 0;
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        if (deferred[i] != 0 && caught[i])
            (void)raise(ending_signals[i]);
}

int remove_armed_copy()
{
    // A signal during the removal is harmless: the handler finds the copy gone or removes it itself.
    const int result = remove_if_still_the_copy();
    disarm_copy_removal();
    return result;
}

void disarm_copy_removal()
{
    armed = 0;
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
