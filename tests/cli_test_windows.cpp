// SPDX-License-Identifier: MIT
// The command-line tests that need Windows: file attributes, share modes and long names.

#include <windows.h>

#include <algorithm>
#include <string>

#include "tests/cli_fixture.h"

namespace {

// Opens for writing as another program would; INVALID_HANDLE_VALUE if refused.
HANDLE open_for_writing(const fs::path &path, DWORD share)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(Cli, ReadOnlyExistingCopyIsLeftAsItWas)
{
    ASSERT_TRUE(write_file(dir / "in", mixed));
    ASSERT_TRUE(write_file(dir / "in.DOS", "old"));
    ASSERT_TRUE(SetFileAttributesW((dir / "in.DOS").c_str(), FILE_ATTRIBUTE_READONLY));
    const HANDLE writable = open_for_writing(dir / "in.DOS", FILE_SHARE_READ);
    if (writable != INVALID_HANDLE_VALUE) {
        (void)CloseHandle(writable);
        (void)SetFileAttributesW((dir / "in.DOS").c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "a read-only file is writable here (Wine run by root); windows_command_line.sh tries it as nobody";
    }
    const run_result got = run({"D", "in"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(read_file(dir / "in.DOS"), "old");
    EXPECT_EQ(GetFileAttributesW((dir / "in.DOS").c_str()) & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
    (void)SetFileAttributesW((dir / "in.DOS").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Cli, CopyHeldOpenByAnotherProgramIsStillWritten)
{
    // Held without sharing deletion, the copy cannot be opened with the right to delete it: eolfix
    // writes it all the same. Held without sharing writes, it cannot be written at all.
    struct row {
        DWORD share;
        bool written;
    };
    const row rows[] = {
        {FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
        {FILE_SHARE_READ, false},
    };
    for (const row &r : rows) {
        reset();
        ASSERT_TRUE(write_file(dir / "in", mixed));
        ASSERT_TRUE(write_file(dir / "in.UNIX", "old"));
        const HANDLE held = open_for_writing(dir / "in.UNIX", r.share);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const run_result got = run({"U", "in"});
        (void)CloseHandle(held);
        EXPECT_EQ(got.status, 0) << r.share;
        EXPECT_EQ(read_file(dir / "in.UNIX"), r.written ? converted.at('U') : "old") << r.share;
    }
}

// The test's own calls reach names of any length in the extended form of an absolute name.
fs::path extended(const fs::path &absolute)
{
    return fs::path(L"\\\\?\\" + absolute.lexically_normal().make_preferred().wstring());
}

TEST_F(Cli, NamesOfAnyLength)
{
    // Three folders of 100 characters below the test's folder, and a name of 257 characters in all,
    // whose copy, at 262, passes the limit of the plain form where the input does not.
    const std::wstring level(100, L'd');
    const std::wstring deep = level + L"\\" + level + L"\\" + level;
    const std::wstring absolute = extended(dir).wstring().substr(4) + L"\\";
    const std::wstring at_257 = absolute + std::wstring(257 - absolute.size(), L'n');
    std::wstring slashed = absolute + deep + L"\\in.txt";
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    struct row {
        std::wstring name;
        bool converted;
    };
    const row rows[] = {
        {deep + L"\\in.txt", true},
        {absolute + deep + L"\\in.txt", true},
        {slashed, true},
        {at_257, true},
        // What a name means does not change with its length: a wildcard, or one typed in the
        // extended form, which holds a "?", still names no file.
        {deep + L"\\in*", false},
        {L"\\\\?\\" + absolute + deep + L"\\in.txt", false},
        {L"\\\\?\\" + at_257, false},
    };
    for (const row &r : rows) {
        const std::string name(r.name.begin(), r.name.end());
        const std::string what = std::to_string(&r - rows) + ": " + std::to_string(name.size()) + " characters";
        reset();
        for (const std::wstring &folder : {level, level + L"\\" + level, deep})
            ASSERT_TRUE(CreateDirectoryW(extended(dir / folder).c_str(), nullptr)) << what;
        const fs::path inputs[] = {extended(dir / deep / L"in.txt"), extended(at_257)};
        for (const fs::path &input : inputs) {
            ASSERT_TRUE(write_file(input, mixed)) << what;
            ASSERT_TRUE(set_file_times(input, {1000000000, 0}, {1200000000, 0})) << what;
        }
        const run_result got = run({"U", name});
        EXPECT_EQ(got.status, 0) << what;
        EXPECT_EQ(got.err, "") << what;
        for (const fs::path &input : inputs) {
            const fs::path copy = input.wstring() + L".UNIX";
            const bool wanted = r.converted && (input == inputs[1]) == (r.name == at_257);
            EXPECT_EQ(GetFileAttributesW(copy.c_str()) != INVALID_FILE_ATTRIBUTES, wanted) << what;
            if (wanted) {
                file_time access{}, modification{}; // before the copy is read, which moves its access time
                EXPECT_TRUE(get_file_times(copy, &access, &modification)) << what;
                EXPECT_EQ(access.seconds, 1000000000) << what;
                EXPECT_EQ(modification.seconds, 1200000000) << what;
                EXPECT_EQ(read_file(copy), converted.at('U')) << what;
            }
            // Gone before the fixture's own clean-up, which cannot reach such names.
            (void)DeleteFileW(copy.c_str());
            (void)DeleteFileW(input.c_str());
        }
        for (const std::wstring &folder : {deep, level + L"\\" + level, level})
            (void)RemoveDirectoryW(extended(dir / folder).c_str());
    }
}

} // namespace
