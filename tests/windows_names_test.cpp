// SPDX-License-Identifier: MIT
// The names the Windows layer gives the system: plain while short enough, else the extended form.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "convert/platform/windows_names.h"

namespace {

std::wstring a(std::size_t count)
{
    return std::wstring(count, L'a');
}

// Each `@` in `text` stands for the current folder.
std::wstring here(std::wstring text, const std::wstring &folder)
{
    for (std::size_t at = text.find(L'@'); at != std::wstring::npos; at = text.find(L'@', at + folder.size()))
        text.replace(at, 1, folder);
    return text;
}

TEST(WindowsNames, LongNamesTakeTheExtendedFormOfTheirAbsoluteForm)
{
    wchar_t previous[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\windows"));
    wchar_t folder[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, folder), 0u); // C:\windows, as the system spells it
    const std::wstring cwd = folder;
    ASSERT_EQ(cwd.size(), 10u);
    struct row {
        std::wstring name, want; // an empty `want`: the name goes as given
    };
    const row rows[] = {
        // Short names, however written, go as given.
        {L"in.txt", L""},
        {L"sub/x\\..\\in.txt", L""},
        {L"C:in.txt", L""},
        {L"\\\\server\\share\\in.txt", L""},
        // Relative, with . and .., forward slashes, mixed separators.
        {L"sub\\" + a(300), L"\\\\?\\@\\sub\\" + a(300)},
        {L"./x/../" + a(300), L"\\\\?\\@\\" + a(300)},
        {L"sub/x\\y/" + a(300), L"\\\\?\\@\\sub\\x\\y\\" + a(300)},
        // Drive-relative: the drive's current folder, or its root when it has none.
        {L"C:" + a(300), L"\\\\?\\@\\" + a(300)},
        {L"Q:" + a(300), L"\\\\?\\Q:\\" + a(300)},
        // Rooted on the current drive; .. stops at the root.
        {L"\\" + a(300), L"\\\\?\\C:\\" + a(300)},
        {L"C:\\..\\..\\" + a(300), L"\\\\?\\C:\\" + a(300)},
        {L"C:/x//y/" + a(300), L"\\\\?\\C:\\x\\y\\" + a(300)},
        // Network names; .. stops at the share.
        {L"\\\\server\\share\\" + a(300), L"\\\\?\\UNC\\server\\share\\" + a(300)},
        {L"//server/share/../" + a(300), L"\\\\?\\UNC\\server\\share\\" + a(300)},
        // A device name keeps its meaning.
        {L"\\\\.\\C:\\" + a(300), L"\\\\?\\C:\\" + a(300)},
        // The system drops trailing dots and spaces; so must the extended form, which would keep them.
        {L"C:\\" + a(300) + L". .", L"\\\\?\\C:\\" + a(300)},
        // The limit: 259 characters and the terminator.
        {L"C:\\" + a(256), L""},
        {L"C:\\" + a(257), L"\\\\?\\C:\\" + a(257)},
        {a(248), L""}, // 10 + 1 + 248
        {a(249), L"\\\\?\\@\\" + a(249)},
        {L"C:\\x\\..\\" + a(256), L""}, // counted once clean
        // The copy passes the limit where the input does not: 255 and 257 characters.
        {L"C:\\" + a(252) + L".DOS", L""},
        {L"C:\\" + a(252) + L".UNIX", L"\\\\?\\C:\\" + a(252) + L".UNIX"},
        {L"C:\\" + a(254) + L".MAC", L"\\\\?\\C:\\" + a(254) + L".MAC"},
    };
    for (const row &r : rows) {
        const std::wstring want = r.want.empty() ? r.name : here(r.want, cwd);
        EXPECT_EQ(name_for_system(r.name), want) << "row " << &r - rows << ", " << r.name.size() << " characters";
    }
    ASSERT_TRUE(SetCurrentDirectoryW(previous));
}

} // namespace
