// SPDX-License-Identifier: MIT
// Prints the name of the translator kernel this processor gets, for the benchmark's report.

#include <cstdio>

#include "convert/translate.h"

int main()
{
    (void)std::puts(chosen_translate_kernel().name);
    return 0;
}
