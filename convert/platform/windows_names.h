// SPDX-License-Identifier: MIT
#pragma once

// Windows only: how the Windows layer turns a file name into the one it gives the system. Declared
// apart from platform.h so the Windows tests can reach it and no other platform sees it.

#include <string>

/// `name` itself while the system can take it plainly: its absolute form, as the system makes it,
/// shorter than MAX_PATH (260) characters with the terminator. A longer one in the extended form
/// (`\\?\C:\...`, `\\?\UNC\server\share\...`) of that absolute form, which has no such limit.
std::wstring name_for_system(const std::wstring &name);
