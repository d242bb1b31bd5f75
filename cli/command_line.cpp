// SPDX-License-Identifier: MIT
// eolfix: writes a copy of one file with every line break in DOS, UNIX or MAC form.

#include "cli/command_line.h"

#include <cstdio>
#include <cstdlib>

#include "convert/convert_file.h"
#include "convert/line_mode.h"
#include "convert/platform/platform.h"

namespace {

void print_usage()
{
    (void)std::fputs("EOLFIX (D|U|M) filename ...\n", stderr);
}

} // namespace

int run_command_line(int argc, char **argv)
{
    // A file-size limit or a reader that went away must end in status 2 and no copy, not a kill.
    ignore_write_signals();
    if (argc < 3) {
        print_usage();
        std::exit(1);
    }
    // Only the first character counts, upper-cased the ASCII way whatever the locale.
    unsigned char letter = static_cast<unsigned char>(argv[1][0]);
    if (letter >= 'a' && letter <= 'z')
        letter = static_cast<unsigned char>(letter - 'a' + 'A');
    switch (letter) {
    case 'D':
        current_mode = MODE_DOS;
        break;
    case 'U':
        current_mode = MODE_UNIX;
        break;
    case 'M':
        current_mode = MODE_MAC;
        break;
    default:
        print_usage();
        std::exit(1);
    }
    // Failures before the copy is opened stay quiet with 0; 2 says it was opened but not finished.
    return convert_file(argv[2]) == 0 ? 0 : 2;
}
