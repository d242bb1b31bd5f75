#include "convert/platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

int remove_file(const char *name)
{
    return unlink(name) == 0 ? 0 : -1;
}

unsigned char *allocate_aligned(std::size_t alignment, std::size_t size)
{
    return static_cast<unsigned char *>(std::aligned_alloc(alignment, size));
}

void free_aligned(unsigned char *block)
{
    std::free(block);
}
