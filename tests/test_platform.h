// SPDX-License-Identifier: MIT
#pragma once

// What the command-line tests need from the operating system: starting the real program and
// waiting for it, and reading and setting file times. One source file per platform.

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

/// How to start the program under test.
struct launch_request {
    std::vector<std::string> argv;           ///< the program, then its arguments, in UTF-8
    std::filesystem::path folder;            ///< its working folder
    std::filesystem::path out, err;          ///< files that receive its standard output and error
    std::vector<std::pair<std::string, std::string>> environment; ///< POSIX: set for the program
    long file_size_limit = -1; ///< POSIX: RLIMIT_FSIZE in bytes, to fail writes part-way
    long process_limit = -1;   ///< POSIX: RLIMIT_NPROC, so that no thread or process can start
    bool stdin_closed = false; ///< started without a standard input
    int ignored_signal = 0;    ///< POSIX: a signal it inherits as ignored, as under nohup
};

/// A started program; `id` is -1 if it could not be started.
struct started_program {
    long id = -1;            ///< the process id
    void *handle = nullptr;  ///< Windows: the process handle to wait on
};

/// How it ended.
struct program_end {
    int status; ///< the exit status, or -1 when ended by a signal
    int signal; ///< the signal that ended it, or 0
};

/// Starts the program as a shell would: default signal dispositions, nothing blocked, umask 022.
started_program start_program(const launch_request &request);

/// Waits until the program has ended.
program_end wait_for(const started_program &program);

/// A point in time: seconds since 1970 (negative before) and the nanoseconds after them.
struct file_time {
    std::int64_t seconds;
    long nanoseconds;
};

/// Sets the access and modification times of `path`, to the platform's precision; false on failure.
bool set_file_times(const std::filesystem::path &path, file_time access, file_time modification);

/// Reads the access and modification times of `path` without reading the file; false on failure.
bool get_file_times(const std::filesystem::path &path, file_time *access, file_time *modification);

/// What ends a line on the program's standard error, a text stream: "\n", or "\r\n" on Windows.
extern const char *const text_line_end;
