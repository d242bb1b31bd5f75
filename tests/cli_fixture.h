// SPDX-License-Identifier: MIT
#pragma once

// Runs the real program in a fresh folder per case and looks at what it leaves behind; shared by
// the command-line tests of every platform and those of one platform only.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "convert/line_mode.h"
#include "tests/bytewise_reference.h"
#include "tests/test_platform.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

/// The usage line, as the program writes it to its standard error.
inline const std::string usage = "EOLFIX (D|U|M) filename ..."s + text_line_end;
/// All four break forms, and bytes that must pass untouched.
inline const std::string mixed = "a\r\nb\rc\n\rd\ne\0\x1a\xff"s;
inline const std::map<char, std::string> converted = {
    {'D', "a\r\nb\r\nc\r\nd\r\ne\0\x1a\xff"s},
    {'U', "a\nb\nc\nd\ne\0\x1a\xff"s},
    {'M', "a\rb\rc\rd\re\0\x1a\xff"s},
};

struct run_options {
    bool unprivileged = false;  ///< POSIX: as nobody, so permissions apply although the tests run as root
    long file_size_limit = -1;  ///< POSIX: RLIMIT_FSIZE in bytes, to fail writes part-way
    long process_limit = -1;    ///< POSIX: RLIMIT_NPROC, so that an unprivileged run cannot start a thread or process
    std::function<void(long)> while_running = {}; ///< acts on the running program, given its process id
    const char *fault = nullptr; ///< one of the faults tests/fault_shim.cpp injects, preloaded into eolfix
    bool stdin_closed = false;   ///< so the input opens as descriptor 0
    int ignored_signal = 0;      ///< POSIX: ignored by the caller, as nohup does
};

struct run_result {
    int status; ///< -1 when ended by a signal
    std::string out, err;
    int signal = 0; ///< the signal that ended it, if one did
};

inline std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

/// Writes `content` to `path`; false where the platform allows no such name.
inline bool write_file(const fs::path &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
    return static_cast<bool>(out);
}

/// A UTF-8 name as a path, whatever the platform's narrow character set.
inline fs::path utf8_path(const std::string &name)
{
    return fs::path(std::u8string(name.begin(), name.end()));
}

/// Every name below `dir` in UTF-8, so a case can say exactly what a run added.
inline std::vector<std::string> listing(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        const std::u8string name = fs::relative(entry.path(), dir).generic_u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

/// What the copy must hold for `mode`.
inline std::string translated_bytewise(const std::string &in, line_mode mode)
{
    current_mode = mode;
    return translate_bytewise(in);
}

/// The program the tests run: EOLFIX_TEST_PROGRAM names one built elsewhere (a release's, as
/// shipped), else this build's.
inline const char *program_under_test()
{
    const char *given = std::getenv("EOLFIX_TEST_PROGRAM");
    return given != nullptr && *given != '\0' ? given : EOLFIX_BINARY;
}

/// The program, copied once per test process into a fresh temporary folder that every user can
/// enter: the checkout may sit in a folder only its owner can enter (/root), where another user
/// cannot start or, through an emulator, read it. Empty if the copy cannot be made.
inline const fs::path &program_for_other_users()
{
    struct copy {
        fs::path folder, program;
        copy()
        {
            std::error_code failed;
            folder = fs::temp_directory_path(failed) / ("eolfix-program-" + std::to_string(std::random_device()()));
            if (failed || !fs::create_directory(folder, failed))
                return;
            const fs::perms open_to_all = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec;
            fs::permissions(folder, open_to_all, failed);
            const fs::path target = folder / fs::path(program_under_test()).filename();
            if (!failed && fs::copy_file(program_under_test(), target, failed))
                fs::permissions(target, open_to_all, failed);
            if (!failed)
                program = target;
        }
        ~copy()
        {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    };
    static const copy made;
    return made.program;
}

class Cli : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        std::random_device random;
        do
            dir = fs::temp_directory_path() / ("eolfix-test-" + std::to_string(random()));
        while (!fs::create_directory(dir));
        fs::permissions(dir, fs::perms::all); // writable for the unprivileged runs too
    }
    void TearDown() override
    {
        fs::permissions(dir, fs::perms::all);
        fs::remove_all(dir);
    }

    /// Empties the folder for the next row of a table.
    void reset()
    {
        fs::remove_all(dir);
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms::all);
    }

    run_result run(const std::vector<std::string> &args, run_options options = {})
    {
        launch_request request;
        // A process limit counts every process of the user: that run gets a user id nobody else runs as.
        const std::string user = options.process_limit >= 0 ? "65533" : "65534";
        if (options.unprivileged)
            request.argv = {"setpriv", "--reuid=" + user, "--regid=" + user, "--clear-groups"};
        std::istringstream emulator(EOLFIX_EMULATOR); // no binfmt_misc: a foreign binary starts through it
        for (std::string word; std::getline(emulator, word, '\t');)
            request.argv.push_back(word);
        request.argv.push_back(options.unprivileged ? program_for_other_users().string() : program_under_test());
        request.argv.insert(request.argv.end(), args.begin(), args.end());
        request.folder = dir;
        request.out = dir.string() + ".out";
        request.err = dir.string() + ".err";
        request.file_size_limit = options.file_size_limit;
        request.process_limit = options.process_limit;
        request.stdin_closed = options.stdin_closed;
        request.ignored_signal = options.ignored_signal;
        if (options.process_limit >= 0) // the leak checker of a sanitizer build needs a thread of its own at exit
            request.environment.emplace_back("ASAN_OPTIONS", "detect_leaks=0");
        if (options.fault != nullptr) {
            request.environment.emplace_back("EOLFIX_FAULT", options.fault);
            request.environment.emplace_back("LD_PRELOAD", EOLFIX_FAULT_SHIM);
            // A shared sanitizer runtime (gcc's) refuses to start behind a preload unless told.
            const char *sanitizer = std::getenv("ASAN_OPTIONS");
            request.environment.emplace_back("ASAN_OPTIONS", (sanitizer ? sanitizer + ":"s : ""s) + "verify_asan_link_order=0");
        }
        const started_program program = start_program(request);
        EXPECT_NE(program.id, -1) << "cannot start " << program_under_test();
        if (options.while_running)
            options.while_running(program.id);
        const program_end end = wait_for(program);
        run_result result{end.status, read_file(request.out), read_file(request.err), end.signal};
        fs::remove(request.out);
        fs::remove(request.err);
        return result;
    }

    /// Says why when a row cannot run: the fault shim is not built where a preload cannot reach
    /// eolfix (an emulator, a foreign system, or a static program, which loads nothing).
    bool can_inject_faults()
    {
        if (*EOLFIX_FAULT_SHIM != '\0')
            return true;
        std::cout << "[ SKIPPED  ] a row that injects a fault: no preload reaches eolfix here "
                     "(an emulator, a foreign system or a static program)\n";
        return false;
    }
};
