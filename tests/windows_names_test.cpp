// SPDX-License-Identifier: MIT
// The names the Windows layer gives the system: as given while short, else the extended form.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "convert/platform/windows_names.h"

namespace {

TEST(WindowsNames, LongNamesTakeTheExtendedFormOfTheirAbsoluteForm)
{
    wchar_t previous[MAX_PATH], folder[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\windows"));
    ASSERT_EQ(GetCurrentDirectoryW(MAX_PATH, folder), 10u); // as the system spells it
    const std::wstring x = L"\\\\?\\", here = x + folder, a(300, L'a');
    const auto as = [](std::size_t count) { return std::wstring(count, L'a'); };
    const std::pair<std::wstring, std::wstring> rows[] = { // an empty second: the name goes as given
        {L"in.txt", L""},
        {L"sub/x\\..\\in.txt", L""},
        {L"C:in.txt", L""},
        {L"\\\\server\\share\\in.txt", L""},
        // Relative, with . and .., forward slashes, mixed separators.
        {L"sub\\" + a, here + L"\\sub\\" + a},
        {L"./x/../" + a, here + L"\\" + a},
        {L"sub/x\\y/" + a, here + L"\\sub\\x\\y\\" + a},
        // Drive-relative: the drive's current folder, or its root when it has none.
        {L"C:" + a, here + L"\\" + a},
        {L"Q:" + a, x + L"Q:\\" + a},
        // Rooted on the current drive; .. stops at the root.
        {L"\\" + a, x + L"C:\\" + a},
        {L"C:\\..\\..\\" + a, x + L"C:\\" + a},
        {L"C:/x//y/" + a, x + L"C:\\x\\y\\" + a},
        // Network names; .. stops at the share.
        {L"\\\\server\\share\\" + a, x + L"UNC\\server\\share\\" + a},
        {L"//server/share/../" + a, x + L"UNC\\server\\share\\" + a},
        {L"\\\\.\\C:\\" + a, x + L"C:\\" + a}, // a device name keeps its meaning
        // The system drops trailing dots and spaces, which the extended form would keep.
        {L"C:\\" + a + L". .", x + L"C:\\" + a},
        // The limit: 259 characters and the terminator, counted once absolute and clean.
        {L"C:\\" + as(256), L""},
        {L"C:\\" + as(257), x + L"C:\\" + as(257)},
        {as(248), L""},
        {as(249), here + L"\\" + as(249)},
        {L"C:\\x\\..\\" + as(256), L""},
        // The copy passes the limit where the input, of 255 or 257 characters, does not.
        {L"C:\\" + as(252) + L".DOS", L""},
        {L"C:\\" + as(252) + L".UNIX", x + L"C:\\" + as(252) + L".UNIX"},
        {L"C:\\" + as(254) + L".MAC", x + L"C:\\" + as(254) + L".MAC"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto &[name, want] = rows[i];
        EXPECT_EQ(name_for_system(name), want.empty() ? name : want) << "row " << i;
    }
    ASSERT_TRUE(SetCurrentDirectoryW(previous));
}

} // namespace
