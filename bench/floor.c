// SPDX-License-Identifier: MIT
// The floor under one eolfix run: the same system calls (open the input, fstat, open the output,
// 256 KiB reads, writes, close, set the times) with memcpy in place of translation. It writes as
// many bytes in all as the converted copy holds, given on the command line, spread over the blocks
// in proportion to what each read brought, so it neither saves nor pays for a size it would have
// to work out. Buffers are static, so it allocates nothing. With --plain it is a plain copy for
// scale: one buffer, the same reads and as many bytes written, no memcpy.
// Usage: eolfix_floor [--plain] COPY-SIZE in out
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Page-aligned, as eolfix's full blocks are.
static _Alignas(4096) unsigned char input[256 * 1024];
static _Alignas(4096) unsigned char output[2 * sizeof input];

int main(int argc, char **argv)
{
    const int plain = argc > 1 && strcmp(argv[1], "--plain") == 0;
    argv += plain;
    argc -= plain;
    if (argc < 4)
        return 1;
    const unsigned long long copy_size = strtoull(argv[1], NULL, 10);
    struct stat status;
    const int in = open(argv[2], O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in < 0 || fstat(in, &status) != 0)
        return 1;
    const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (out < 0)
        return 1;
    unsigned long long read_so_far = 0, written = 0;
    ssize_t got;
    while ((got = read(in, input, sizeof input)) > 0) {
        if (!plain)
            memcpy(output, input, (size_t)got);
        read_so_far += (unsigned long long)got;
        // What the copy holds by now if it grows evenly with the input, a full output block at most.
        unsigned long long due = status.st_size > 0 ? copy_size * read_so_far / (unsigned long long)status.st_size
                                                    : read_so_far;
        if (due > copy_size)
            due = copy_size;
        size_t size = due > written ? (size_t)(due - written) : 0;
        if (size > sizeof output)
            size = sizeof output;
        written += size;
        // The plain copy writes a copy larger than its one buffer in pieces.
        const unsigned char *from = plain ? input : output;
        const size_t most = plain ? sizeof input : sizeof output;
        while (size > 0) {
            const size_t piece = size < most ? size : most;
            if (write(out, from, piece) != (ssize_t)piece)
                return 2;
            size -= piece;
        }
    }
    if (got < 0 || close(in) != 0 || close(out) != 0)
        return 2;
    const struct timespec times[2] = {{status.st_atim.tv_sec, 0}, {status.st_mtim.tv_sec, 0}};
    return utimensat(AT_FDCWD, argv[3], times, 0) == 0 ? 0 : 2;
}
