// SPDX-License-Identifier: MIT
#pragma once

/// The line-break convention a copy is written in; the values index mode_extensions.
enum line_mode : int {
    MODE_DOS = 0,  ///< CR LF
    MODE_UNIX = 1, ///< LF
    MODE_MAC = 2,  ///< CR
};

/// The mode of this run: set once by main before any file is touched, only read afterwards.
extern line_mode current_mode;

/// The suffix appended to the input's name for each mode; ".UNIX" is the longest (5 characters).
extern const char *const mode_extensions[3];
