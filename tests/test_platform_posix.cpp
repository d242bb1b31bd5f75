// SPDX-License-Identifier: MIT
#include "tests/test_platform.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

const char *const text_line_end = "\n";

started_program start_program(const launch_request &request)
{
    // Prepared before the fork: the child only calls what is safe between fork and exec.
    std::vector<std::string> argv = request.argv;
    std::vector<char *> pointers;
    for (std::string &argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    const pid_t child = fork();
    if (child != 0)
        return {child < 0 ? -1 : static_cast<long>(child), nullptr};
    (void)umask(022);
    if (chdir(request.folder.c_str()) != 0)
        _exit(126);
    (void)dup2(open(request.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    (void)dup2(open(request.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    for (const auto &[name, value] : request.environment)
        (void)setenv(name.c_str(), value.c_str(), 1);
    // As a shell starts it: whatever the test process ignores or blocks, the program does not.
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE})
        (void)signal(signal_number, SIG_DFL);
    if (request.ignored_signal != 0)
        (void)signal(request.ignored_signal, SIG_IGN);
    sigset_t none;
    (void)sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
    if (request.file_size_limit >= 0) {
        const rlimit limit{static_cast<rlim_t>(request.file_size_limit), static_cast<rlim_t>(request.file_size_limit)};
        (void)setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (request.process_limit >= 0) {
        const rlimit limit{static_cast<rlim_t>(request.process_limit), static_cast<rlim_t>(request.process_limit)};
        (void)setrlimit(RLIMIT_NPROC, &limit);
    }
    if (request.stdin_closed)
        (void)close(0);
    execvp(pointers[0], pointers.data());
    _exit(127);
}

program_end wait_for(const started_program &program)
{
    int wstatus = 0;
    if (program.id < 0 || waitpid(static_cast<pid_t>(program.id), &wstatus, 0) != program.id)
        return {-1, 0};
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0};
}

bool set_file_times(const std::filesystem::path &path, file_time access, file_time modification)
{
    const timespec times[2] = {{static_cast<time_t>(access.seconds), access.nanoseconds},
                               {static_cast<time_t>(modification.seconds), modification.nanoseconds}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool get_file_times(const std::filesystem::path &path, file_time *access, file_time *modification)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return false;
    *access = {static_cast<std::int64_t>(status.st_atim.tv_sec), status.st_atim.tv_nsec};
    *modification = {static_cast<std::int64_t>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec};
    return true;
}
