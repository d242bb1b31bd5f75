// SPDX-License-Identifier: MIT
// The floor under one eolfix run: the same system calls (open the input, fstat, open the output,
// 256 KiB reads, writes, close, set the times) with memcpy in place of translation. It writes what
// it read for U and M, and for D one byte more per LF not preceded by a CR (the exact size for LF
// or CR LF text). Buffers are static, so it allocates nothing. Usage: eolfix_floor (D|U|M) in out
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Page-aligned, as eolfix's full blocks are.
static _Alignas(4096) unsigned char input[256 * 1024];
static _Alignas(4096) unsigned char output[2 * sizeof input];

int main(int argc, char **argv)
{
    if (argc < 4)
        return 1;
    const int dos = argv[1][0] == 'D';
    struct stat status;
    const int in = open(argv[2], O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in < 0 || fstat(in, &status) != 0)
        return 1;
    const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (out < 0)
        return 1;
    unsigned char last = 0;
    ssize_t got;
    while ((got = read(in, input, sizeof input)) > 0) {
        size_t size = (size_t)got;
        memcpy(output, input, size);
        if (dos) {
            unsigned added = input[0] == '\n' && last != '\r'; // 32 bits: the count vectorizes well
            for (ssize_t i = 1; i < got; ++i)
                added += (input[i] == '\n') & (input[i - 1] != '\r');
            size += added;
            last = input[got - 1];
        }
        if (write(out, output, size) != (ssize_t)size)
            return 2;
    }
    if (got < 0 || close(in) != 0 || close(out) != 0)
        return 2;
    const struct timespec times[2] = {{status.st_atim.tv_sec, 0}, {status.st_mtim.tv_sec, 0}};
    return utimensat(AT_FDCWD, argv[3], times, 0) == 0 ? 0 : 2;
}
