// SPDX-License-Identifier: MIT
// The command-line tests that need POSIX: other users, resource limits, devices, FIFOs, signals,
// mounts and the preloaded fault shim.

#include <csignal>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "tests/cli_fixture.h"

namespace {

void write_file_with_mode(const fs::path &path, const std::string &content, mode_t mode)
{
    ASSERT_TRUE(write_file(path, content)) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

struct stat status_of(const fs::path &path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// True when a user other than the owner may enter every folder on the way to `path`.
bool others_can_reach(const fs::path &path)
{
    for (fs::path folder = path.parent_path(); !folder.empty(); folder = folder.parent_path()) {
        struct stat st {};
        if (stat(folder.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return false;
        if (folder == folder.root_path())
            break;
    }
    return true;
}

// Says why when eolfix cannot be run as another user here.
std::string why_not_unprivileged()
{
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        return "needs root and setpriv to run eolfix as an unprivileged user";
    const fs::path program = program_for_other_users();
    struct statvfs volume {};
    if (program.empty() || !others_can_reach(program))
        return "no copy of eolfix in a folder every user can enter (is the temporary folder open to all?)";
    if (statvfs(program.c_str(), &volume) != 0 || (volume.f_flag & ST_NOEXEC) != 0)
        return "the temporary folder does not allow running programs";
    const std::string emulator = std::string(EOLFIX_EMULATOR).substr(0, std::string(EOLFIX_EMULATOR).find('\t'));
    if (emulator.starts_with('/') && !others_can_reach(emulator))
        return "the emulator " + emulator + " is in a folder other users cannot enter";
    return "";
}

TEST_F(Cli, ConvertsWhenNoThreadOrProcessCanBeStarted)
{
    if (const std::string why = why_not_unprivileged(); !why.empty())
        GTEST_SKIP() << why;
    std::string in;
    while (in.size() < 3000000)
        in += mixed;
    write_file_with_mode(dir / "in", in, 0644);
    const long emulator_threads = std::string_view(EOLFIX_EMULATOR).empty() ? 0 : 1; // qemu-user's own helper thread
    const run_result got = run({"D", "in"}, {.unprivileged = true, .process_limit = 1 + emulator_threads});
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(read_file(dir / "in.DOS") == translated_bytewise(in, MODE_DOS));
}

TEST_F(Cli, CopyPermissions)
{
    // A new copy is never readable by more people than the input; an existing one keeps its mode.
    struct row {
        mode_t input_mode, old_copy_mode, copy_mode; // old_copy_mode 0: no copy yet
    };
    const row rows[] = {{0600, 0, 0600}, {0644, 0, 0644}, {0755, 0, 0644}, {0444, 0, 0644}, {0640, 0, 0640},
                        {0604, 0, 0604}, {0600, 0666, 0666}, {0644, 0600, 0600}};
    for (const row &r : rows) {
        reset();
        write_file_with_mode(dir / "in", mixed, r.input_mode);
        if (r.old_copy_mode != 0)
            write_file_with_mode(dir / "in.UNIX", "old", r.old_copy_mode);
        ASSERT_EQ(run({"U", "in"}).status, 0);
        EXPECT_EQ(status_of(dir / "in.UNIX").st_mode & 07777, r.copy_mode) << std::oct << r.input_mode << " " << r.old_copy_mode;
    }
}

// Tries every millisecond for up to a minute, which only a broken program needs; true once done.
bool wait_until(const std::function<bool()> &done)
{
    // Asked once per try: a second call after success could redo what it did (open a descriptor).
    for (int tries = 0; tries < 60000; ++tries) {
        if (done())
            return true;
        (void)usleep(1000);
    }
    return false;
}

// Feeds `content` through the FIFO the program reads as its input, waits until the copy holds all
// of it (the program then waits for more, mid-copy), and sends it `signal_number`.
void feed_then_signal(const fs::path &fifo, const std::string &content, const fs::path &copy, pid_t program,
                      int signal_number, const std::function<void()> &before_signal = {})
{
    int fd = -1;
    EXPECT_TRUE(wait_until([&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
    if (fd >= 0) {
        (void)fcntl(fd, F_SETFL, 0);
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        std::error_code missing;
        EXPECT_TRUE(wait_until([&] { return fs::file_size(copy, missing) == content.size(); }));
    }
    if (before_signal)
        before_signal();
    EXPECT_EQ(kill(program, signal_number), 0);
    (void)close(fd);
}

// Reads `amount` bytes of the copy from the FIFO it is written into, then goes away.
void read_then_leave(const fs::path &fifo, std::size_t amount)
{
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // does not wait for the writer
    std::vector<char> buffer(amount);
    std::size_t got = 0;
    EXPECT_TRUE(wait_until([&] {
        const ssize_t part = read(fd, buffer.data() + got, amount - got);
        got += part > 0 ? static_cast<std::size_t>(part) : 0;
        return got == amount;
    }));
    (void)close(fd);
}

TEST_F(Cli, FailureAfterTheCopyIsOpenedRemovesItAndExitsTwo)
{
    // Small inputs fail in the first block, large ones several blocks in.
    struct row {
        std::string what;
        std::size_t input_size;
        long file_size_limit;
        bool copy_left; // a device, a pipe or a link behind the copy's name is not ours to remove
        int signal;     // ends by this signal rather than with status 2
        const char *fault = nullptr;
    };
    const row rows[] = {
        {"disk full", 1000, -1, true, 0},
        {"disk full", 3000000, -1, true, 0},
        {"file too large", 100000, 10000, false, 0},
        {"file too large", 3000000, 1000000, false, 0}, // several blocks in
        {"file too large behind a link", 3000000, 1000000, true, 0},
        {"file too large behind a link to a link", 3000000, 1000000, true, 0}, // the second relative to the first
        {"full file system behind a link", 3000000, -1, true, 0},
        {"reader leaves", 3000000, -1, true, 0},
        {"read error", 0, -1, false, 0},
        {"interrupted", 300000, -1, false, SIGINT},
        {"interrupted", 300000, -1, false, SIGTERM},
        {"interrupted", 300000, -1, false, SIGHUP},
        {"interrupted after another file took the copy's name", 300000, -1, true, SIGINT},
        // Same inode number on another file system: the device alone tells the files apart.
        {"interrupted after a file on another file system took the copy's name", 300000, -1, true, SIGINT},
        {"interruption ignored by the caller", 300000, -1, true, 0}, // completes, status 0
        // Once complete, an ignored signal stays ignored and the others end the run, removing nothing.
        {"SIGINT ignored by the caller, then SIGINT and SIGTERM once the copy is complete", 1000, -1, true, SIGTERM,
         "signals-at-times"},
        {"close error", 1000, -1, false, 0, "close-eio"}, // the copy's close reports EIO
        {"write without progress", 1000, -1, false, 0, "zero-writes"},
    };
    // A program that dies early must show as a failed write here, not end the test.
    (void)signal(SIGPIPE, SIG_IGN);
    for (const row &r : rows) {
        if (r.fault != nullptr && !can_inject_faults())
            continue;
        const std::string what = r.what + " at " + std::to_string(r.input_size) + " " + std::to_string(r.signal);
        const std::string input(r.input_size, 'x');
        reset();
        run_options options{.file_size_limit = r.file_size_limit, .fault = r.fault};
        if (r.what == "read error")
            fs::create_symlink("/proc/self/mem", dir / "in");
        else if (r.what.starts_with("interrupt"))
            ASSERT_EQ(mkfifo((dir / "in").c_str(), 0644), 0);
        else
            ASSERT_TRUE(write_file(dir / "in", input));

        if (r.what == "disk full")
            fs::create_symlink("/dev/full", dir / "in.UNIX");
        if (r.what == "file too large behind a link") {
            fs::create_directory(dir / "elsewhere");
            fs::create_symlink("elsewhere/in.UNIX", dir / "in.UNIX");
        }
        if (r.what == "file too large behind a link to a link") {
            fs::create_directory(dir / "elsewhere");
            fs::create_symlink("in.UNIX", dir / "elsewhere/link");
            fs::create_symlink("elsewhere/link", dir / "in.UNIX");
        }
        if (r.what == "full file system behind a link") {
            fs::create_directory(dir / "small");
            if (mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m") != 0) {
                std::cout << "[ SKIPPED  ] " << what << ": cannot mount a 1 MiB tmpfs (needs root)\n";
                continue;
            }
            fs::create_symlink("small/in.UNIX", dir / "in.UNIX");
        }
        if (r.what == "reader leaves") {
            ASSERT_EQ(mkfifo((dir / "in.UNIX").c_str(), 0644), 0);
            options.while_running = [&](pid_t) { read_then_leave(dir / "in.UNIX", 64 * 1024); };
        }
        if (r.what == "interrupted")
            options.while_running = [&](pid_t program) { feed_then_signal(dir / "in", input, dir / "in.UNIX", program, r.signal); };
        if (r.what == "interrupted after another file took the copy's name") // only the file the run wrote may be removed
            options.while_running = [&](pid_t program) {
                feed_then_signal(dir / "in", input, dir / "in.UNIX", program, r.signal, [&] {
                    fs::rename(dir / "in.UNIX", dir / "moved");
                    EXPECT_TRUE(write_file(dir / "in.UNIX", "someone else's"));
                });
            };
        if (r.what.starts_with("interrupted after a file on another")) {
            fs::create_directory(dir / "small");
            if (mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m") != 0) {
                std::cout << "[ SKIPPED  ] " << what << ": cannot mount a tmpfs (needs root)\n";
                continue;
            }
            fs::create_symlink("small/in.UNIX", dir / "in.UNIX"); // the copy: the first file of a fresh tmpfs
            options.while_running = [&](pid_t program) {
                feed_then_signal(dir / "in", input, dir / "in.UNIX", program, r.signal, [&] {
                    // Also the first file of a fresh tmpfs, so the same inode number on another device.
                    EXPECT_EQ(mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m"), 0);
                    EXPECT_TRUE(write_file(dir / "small/other", "someone else's"));
                    fs::rename(dir / "small/other", dir / "small/in.UNIX");
                });
            };
        }
        if (r.what.ends_with("ignored by the caller") || r.what.starts_with("SIGINT ignored")) {
            options.ignored_signal = SIGINT;
            options.while_running = [&](pid_t program) { feed_then_signal(dir / "in", input, dir / "in.UNIX", program, SIGINT); };
        }

        const run_result got = run({"U", "in"}, options);
        const bool completes = r.what.ends_with("ignored by the caller");
        EXPECT_EQ(got.signal, r.signal) << what;
        EXPECT_EQ(got.status, r.signal ? -1 : completes ? 0 : 2) << what;
        EXPECT_EQ(got.err, "") << what;
        EXPECT_EQ(fs::is_symlink(dir / "in.UNIX") || fs::exists(dir / "in.UNIX"), r.copy_left) << what;
        if (r.what.find("behind a link") != std::string::npos) {
            EXPECT_TRUE(fs::is_symlink(dir / "in.UNIX")) << what;
            EXPECT_FALSE(fs::exists(dir / "in.UNIX")) << what << ": partial data left behind the link";
        }
        if (r.what == "reader leaves") {
            EXPECT_TRUE(fs::is_fifo(dir / "in.UNIX")) << what;
        }
        if (r.what.starts_with("interrupted after")) {
            EXPECT_EQ(read_file(dir / "in.UNIX"), "someone else's") << what;
        }
        if (completes) {
            EXPECT_TRUE(read_file(dir / "in.UNIX") == input) << what;
        }
        if (r.what.starts_with("interrupt")) {
            EXPECT_TRUE(fs::is_fifo(dir / "in")) << what;
        } else if (r.what != "read error") {
            EXPECT_TRUE(read_file(dir / "in") == input) << what;
        }
        if (r.what == "full file system behind a link")
            (void)umount((dir / "small").c_str());
        if (r.what.starts_with("interrupted after a file on another")) {
            (void)umount((dir / "small").c_str());
            (void)umount((dir / "small").c_str());
        }
        if (r.fault != nullptr && std::string_view(r.fault) == "signals-at-times") {
            EXPECT_TRUE(read_file(dir / "in.UNIX") == input) << what;
        }
    }
}

TEST_F(Cli, PermissionFailuresLeaveEverythingAsItWas)
{
    if (const std::string why = why_not_unprivileged(); !why.empty())
        GTEST_SKIP() << why;
    struct row {
        std::string what;
        mode_t input_mode, folder_mode;
        bool copy_exists; // read-only, holding "old"
    };
    const row rows[] = {
        {"unreadable input", 0600, 0777, false},
        {"read-only existing copy", 0644, 0777, true},
        {"unwritable folder", 0644, 0755, false},
    };
    for (const row &r : rows) {
        reset();
        write_file_with_mode(dir / "in", mixed, r.input_mode);
        if (r.copy_exists)
            write_file_with_mode(dir / "in.DOS", "old", 0444);
        ASSERT_EQ(chmod(dir.c_str(), r.folder_mode), 0);
        const auto before = listing(dir);
        const run_result got = run({"D", "in"}, {.unprivileged = true});
        EXPECT_EQ(got.status, 0) << r.what;
        EXPECT_EQ(got.err, "") << r.what;
        EXPECT_EQ(listing(dir), before) << r.what;
        if (r.copy_exists) {
            EXPECT_EQ(read_file(dir / "in.DOS"), "old");
        }
        EXPECT_EQ(read_file(dir / "in"), mixed);
    }
}

} // namespace
