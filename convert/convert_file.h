// SPDX-License-Identifier: MIT
#pragma once

/// Writes the copy of the file `name` with its line breaks in current_mode, named `name` plus the
/// mode's extension, and gives it the input's access and modification times. The input is only
/// read. Returns 0 when the copy was written, and also when there was nothing to do: the input
/// cannot be found, queried or opened (or is a directory, or its name holds a wildcard), or the
/// copy cannot be opened or would be the input itself. Returns -1 when reading, writing or closing
/// failed after the copy was opened; the incomplete copy has then been removed (behind a symbolic
/// link, the file it leads to). An interrupt, termination or hang-up signal before the copy is
/// complete removes it too and ends the process by that signal. Takes the times from the opened
/// input. Prints nothing.
int convert_file(const char *name);
