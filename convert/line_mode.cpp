// SPDX-License-Identifier: MIT
#include "convert/line_mode.h"

line_mode current_mode = MODE_DOS;

const char *const mode_extensions[3] = {".DOS", ".UNIX", ".MAC"};
