// SPDX-License-Identifier: MIT
// The command-line tests that need Windows: file attributes and share modes.

#include <windows.h>

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

} // namespace
