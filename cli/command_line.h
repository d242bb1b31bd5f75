// SPDX-License-Identifier: MIT
#pragma once

/// The whole program after start-up: checks the arguments (file names in UTF-8 on every platform),
/// sets current_mode, converts the file and returns the exit status; the usage path exits with 1.
int run_command_line(int argc, char **argv);
