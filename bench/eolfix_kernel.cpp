// SPDX-License-Identifier: MIT
// Prints the name of the translator kernel this processor gets, for the benchmark's report; with
// --runnable, every kernel built in that this processor can run, one a line.

#include <cstdio>
#include <cstring>

#include "convert/translate.h"

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--runnable") == 0) {
        for (const translate_kernel &kernel : translate_kernels())
            if (kernel.supported())
                (void)std::puts(kernel.name);
        return 0;
    }
    (void)std::puts(chosen_translate_kernel().name);
    return 0;
}
