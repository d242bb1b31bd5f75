// SPDX-License-Identifier: MIT
// The POSIX entry: the arguments arrive as the bytes of the file names, passed on unchanged.

#include "cli/command_line.h"

int main(int argc, char **argv)
{
    return run_command_line(argc, argv);
}
