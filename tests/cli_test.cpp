// SPDX-License-Identifier: MIT
// The command-line tests that hold on every platform. Those that need one platform's own means
// live in cli_test_posix.cpp and cli_test_windows.cpp.

#include <cstdint>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/cli_fixture.h"

namespace {

TEST_F(Cli, ArgumentsModesAndNames)
{
    struct row {
        std::vector<std::string> args;
        int status;
        bool prints_usage;
        std::vector<std::string> created; // names the run adds; each holds the converted sample
        bool stdin_closed = false;
    };
    const row rows[] = {
        {{}, 1, true, {}},
        {{"U"}, 1, true, {}},
        {{"", "in"}, 1, true, {}},
        {{"x", "in"}, 1, true, {}},
        {{"-d", "in"}, 1, true, {}},
        {{"/d", "in"}, 1, true, {}},
        {{"\xc4", "in"}, 1, true, {}},
        {{"x", "missing"}, 1, true, {}},
        {{"d", "in"}, 0, false, {"in.DOS"}},
        {{"d", "in"}, 0, false, {"in.DOS"}, true}, // the input is descriptor 0
        {{"D", "in"}, 0, false, {"in.DOS"}},
        {{"d2u", "in"}, 0, false, {"in.DOS"}},
        {{"unix", "in"}, 0, false, {"in.UNIX"}},
        {{"m", "in"}, 0, false, {"in.MAC"}},
        {{"Mxyz", "in"}, 0, false, {"in.MAC"}},
        {{"U", "in", "other"}, 0, false, {"in.UNIX"}},
        {{"U", "sub/in"}, 0, false, {"sub/in.UNIX"}},
        {{"U", "x.DOS"}, 0, false, {"x.DOS.UNIX"}},
        {{"U", "missing"}, 0, false, {}},
        {{"U", ""}, 0, false, {}},
        {{"U", "sub"}, 0, false, {}},
        {{"U", "i*"}, 0, false, {}},
        {{"U", "i?"}, 0, false, {}},
        {{"U", "c:"}, 0, false, {}},
        // Greek, Cyrillic, CJK and a character beyond 16 bits: no ANSI code page holds them all.
        {{"D", "Ωμέγα-Жук-日本語-😀.txt"}, 0, false, {"Ωμέγα-Жук-日本語-😀.txt.DOS"}},
    };
    for (const row &r : rows) {
        reset();
        fs::create_directory(dir / "sub");
        // Windows allows no file named with a wildcard or a drive: there these rows find nothing.
        for (const char *name : {"in", "other", "sub/in", "x.DOS", "Ωμέγα-Жук-日本語-😀.txt"})
            ASSERT_TRUE(write_file(dir / utf8_path(name), mixed)) << name;
        for (const char *name : {"i*", "i?", "c:"})
            (void)write_file(dir / name, mixed);
        const auto before = listing(dir);
        const run_result got = run(r.args, {.stdin_closed = r.stdin_closed});
        const std::string what = testing::PrintToString(r.args) + (r.stdin_closed ? " without stdin" : "");
        EXPECT_EQ(got.status, r.status) << what;
        EXPECT_EQ(got.err, r.prints_usage ? usage : "") << what;
        EXPECT_EQ(got.out, "") << what;
        auto expected = before;
        expected.insert(expected.end(), r.created.begin(), r.created.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listing(dir), expected) << what;
        for (const std::string &name : r.created)
            EXPECT_EQ(read_file(dir / utf8_path(name)), converted.at(name.substr(name.rfind('.') + 1)[0])) << what;
        EXPECT_EQ(read_file(dir / "in"), mixed) << what;
    }
}

TEST_F(Cli, FilesOfManyBlocksMatchTheBytewiseReference)
{
    // Around the program's 256 KiB block, and sizes far from it; dense breaks, with pairs cut at
    // every multiple of 64 KiB so that any block size the program picks splits some of them.
    // Short and interrupted calls must change nothing either.
    const std::size_t block = 256 * 1024;
    const std::pair<std::size_t, const char *> rows[] = {
        {0, nullptr},         {1, nullptr},       {block - 1, nullptr},        {block, nullptr},
        {block + 1, nullptr}, {3 * block + 5, nullptr}, {5000000, nullptr},
        {3000000, "short-writes"}, // every write moves at most 4097 bytes
        {3000000, "eintr"},        // every other read and write is interrupted first
        {0, "grows"}, {2000, "grows"}, // 350000 bytes more by the time it is read: read to the end
    };
    std::mt19937 random(7);
    for (auto [size, fault] : rows) {
        if (fault != nullptr && !can_inject_faults())
            continue;
        std::string in(size, 'a');
        for (char &byte : in)
            byte = "ab\r\n\r\n\0\xff"[random() % 8];
        for (std::size_t cut = 64 * 1024; cut < size; cut += 64 * 1024)
            in[cut - 1] = (cut / 65536) % 2 ? '\r' : '\n', in[cut] = (cut / 65536) % 2 ? '\n' : '\r';
        reset();
        std::string grown = in;
        for (int i = 0; fault != nullptr && fault == "grows"s && i < 50000; ++i)
            grown += "grown\r\n";
        for (auto [letter, mode, extension] : {std::tuple{"D", MODE_DOS, ".DOS"},
                                               std::tuple{"U", MODE_UNIX, ".UNIX"},
                                               std::tuple{"M", MODE_MAC, ".MAC"}}) {
            ASSERT_TRUE(write_file(dir / "in", in));
            const std::string what = std::to_string(size) + " bytes to " + letter + (fault ? " with "s + fault : "");
            EXPECT_EQ(run({letter, "in"}, {.fault = fault}).status, 0) << what;
            EXPECT_TRUE(read_file(dir / ("in"s + extension)) == translated_bytewise(grown, mode)) << what;
        }
    }
}

TEST_F(Cli, ReplacesAnExistingCopyWhole)
{
    struct row {
        std::string input, old_copy, want;
        const char *fault = nullptr;
    };
    const row rows[] = {
        {mixed, std::string(1000, 'x'), converted.at('M')},
        {"", "x", ""},
        {"a", "x", "a"},
        // A copy that cannot be emptied is left whole rather than overwritten in part.
        {mixed, std::string(1000, 'x'), std::string(1000, 'x'), "ftruncate-eio"},
        {mixed, "", converted.at('M'), "ftruncate-eio"}, // an empty copy needs no emptying
    };
    for (const row &r : rows) {
        if (r.fault != nullptr && !can_inject_faults())
            continue;
        reset();
        ASSERT_TRUE(write_file(dir / "in", r.input));
        ASSERT_TRUE(write_file(dir / "in.MAC", r.old_copy));
        const std::string what = std::to_string(r.input.size()) + " bytes over " + std::to_string(r.old_copy.size())
                                 + (r.fault ? " with "s + r.fault : "");
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(run({"M", "in"}, {.fault = r.fault}).status, 0) << what;
            EXPECT_TRUE(read_file(dir / "in.MAC") == r.want) << what;
        }
    }
}

TEST_F(Cli, CopyCarriesTheInputTimesInWholeSeconds)
{
    struct row {
        file_time access, modification;
        std::int64_t want_access, want_modification;
    };
    const row rows[] = {
        {{1000000000, 500000000}, {1200000000, 750000000}, 1000000000, 1200000000},
        {{1700000000, 0}, {315532800, 999999999}, 1700000000, 315532800},
        {{0, 0}, {1234567890, 0}, 1234567890, 1234567890}, // no access time: both from modification
        {{4102444800, 0}, {4102444801, 0}, 4102444800, 4102444801}, // 2100: past a 32-bit time_t
        // 1938 and 1950: fractions go towards the earlier second, away from zero.
        {{-1000000000, 250000000}, {-616850704, 750000000}, -1000000000, -616850704},
    };
    for (const row &r : rows) {
        const std::string what = std::to_string(r.access.seconds) + " " + std::to_string(r.modification.seconds);
        ASSERT_TRUE(write_file(dir / "in", mixed));
        ASSERT_TRUE(set_file_times(dir / "in", r.access, r.modification)) << what;
        ASSERT_EQ(run({"D", "in"}).status, 0) << what;
        file_time access{}, modification{};
        ASSERT_TRUE(get_file_times(dir / "in.DOS", &access, &modification)) << what;
        EXPECT_EQ(access.seconds, r.want_access) << what;
        EXPECT_EQ(access.nanoseconds, 0) << what;
        EXPECT_EQ(modification.seconds, r.want_modification) << what;
        EXPECT_EQ(modification.nanoseconds, 0) << what;
    }
}

TEST_F(Cli, NeverWritesOverTheInputThroughALink)
{
    const std::vector<std::string> setups = {"hard link", "copy links to input", "input links to copy"};
    for (const std::string &setup : setups) {
        reset();
        fs::path input = dir / "in";
        std::error_code failed;
        if (setup == "input links to copy") {
            ASSERT_TRUE(write_file(dir / "in.UNIX", mixed));
            fs::create_symlink("in.UNIX", input, failed);
        } else {
            ASSERT_TRUE(write_file(input, mixed));
            if (setup == "hard link")
                fs::create_hard_link(input, dir / "in.UNIX", failed);
            else
                fs::create_symlink("in", dir / "in.UNIX", failed);
        }
        // Windows lets only privileged users make symbolic links.
        if (failed && setup != "hard link") {
            std::cout << "[ SKIPPED  ] " << setup << ": cannot make a symbolic link here\n";
            continue;
        }
        ASSERT_FALSE(failed) << setup;
        const run_result got = run({"U", "in"});
        EXPECT_EQ(got.status, 0) << setup;
        EXPECT_EQ(got.err, "") << setup;
        EXPECT_EQ(read_file(input), mixed) << setup;
    }
}

} // namespace
