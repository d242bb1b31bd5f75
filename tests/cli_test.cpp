// Runs the real program in a fresh folder per case and looks at what it leaves behind.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "convert/line_mode.h"
#include "tests/bytewise_reference.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string usage = "EOLFIX (D|U|M) filename ...\n";
// All four break forms, and bytes that must pass untouched.
const std::string mixed = "a\r\nb\rc\n\rd\ne\0\x1a\xff"s;
const std::map<char, std::string> converted = {
    {'D', "a\r\nb\r\nc\r\nd\r\ne\0\x1a\xff"s},
    {'U', "a\nb\nc\nd\ne\0\x1a\xff"s},
    {'M', "a\rb\rc\rd\re\0\x1a\xff"s},
};

struct run_options {
    bool unprivileged = false;  // as nobody, so permissions apply although the tests run as root
    long file_size_limit = -1;  // RLIMIT_FSIZE in bytes, to fail writes part-way
    long process_limit = -1;    // RLIMIT_NPROC, so that an unprivileged run cannot start a thread or process
    std::function<void(pid_t)> while_running = {}; // acts on the running program, given its process id
    const char *fault = nullptr; // one of the faults tests/fault_shim.cpp injects, preloaded into eolfix
    bool stdin_closed = false;   // so the input opens as descriptor 0
    int ignored_signal = 0;      // ignored by the caller, as nohup does
};

struct run_result {
    int status; // -1 when ended by a signal
    std::string out, err;
    int signal = 0; // the signal that ended it, if one did
};

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void write_file(const fs::path &path, const std::string &content, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

struct stat status_of(const fs::path &path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Every name below `dir`, so a case can say exactly what a run added.
std::vector<std::string> listing(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        names.push_back(fs::relative(entry.path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

class Cli : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        char pattern[] = "/tmp/eolfix-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(chmod(pattern, 0777), 0); // writable for the unprivileged runs too
    }
    void TearDown() override
    {
        (void)chmod(dir.c_str(), 0777);
        fs::remove_all(dir);
    }

    // Empties the folder for the next row of a table.
    void reset()
    {
        fs::remove_all(dir);
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms::all);
    }

    run_result run(const std::vector<std::string> &args, run_options options = {})
    {
        std::vector<std::string> argv;
        if (options.unprivileged)
            argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        std::istringstream emulator(EOLFIX_EMULATOR); // no binfmt_misc: a foreign binary starts through it
        for (std::string word; std::getline(emulator, word, '\t');)
            argv.push_back(word);
        argv.push_back(EOLFIX_BINARY);
        argv.insert(argv.end(), args.begin(), args.end());
        const fs::path out = fs::temp_directory_path() / ("eolfix-out-" + std::to_string(getpid()));
        const fs::path err = out.string() + ".err";
        const pid_t child = fork();
        if (child == 0) {
            std::vector<char *> cargs;
            for (auto &a : argv)
                cargs.push_back(a.data());
            cargs.push_back(nullptr);
            (void)umask(022);
            if (chdir(dir.c_str()) != 0)
                _exit(126);
            (void)dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            (void)dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            // As a shell starts it: whatever the test process ignores or blocks, the program does not.
            for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE})
                (void)signal(signal_number, SIG_DFL);
            if (options.ignored_signal != 0)
                (void)signal(options.ignored_signal, SIG_IGN);
            sigset_t none;
            (void)sigemptyset(&none);
            (void)sigprocmask(SIG_SETMASK, &none, nullptr);
            if (options.file_size_limit >= 0) {
                const rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
                (void)setrlimit(RLIMIT_FSIZE, &limit);
            }
            if (options.process_limit >= 0) {
                // The leak checker of a sanitizer build needs a thread of its own at exit.
                (void)setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
                const rlimit limit{static_cast<rlim_t>(options.process_limit), static_cast<rlim_t>(options.process_limit)};
                (void)setrlimit(RLIMIT_NPROC, &limit);
            }
            if (options.fault != nullptr) {
                (void)setenv("EOLFIX_FAULT", options.fault, 1);
                (void)setenv("LD_PRELOAD", EOLFIX_FAULT_SHIM, 1);
                // A shared sanitizer runtime (gcc's) refuses to start behind a preload unless told.
                const char *sanitizer = getenv("ASAN_OPTIONS");
                (void)setenv("ASAN_OPTIONS", ((sanitizer ? sanitizer + ":"s : ""s) + "verify_asan_link_order=0").c_str(), 1);
            }
            if (options.stdin_closed)
                (void)close(0);
            execvp(cargs[0], cargs.data());
            _exit(127);
        }
        if (options.while_running)
            options.while_running(child);
        int wstatus = 0;
        EXPECT_EQ(waitpid(child, &wstatus, 0), child);
        run_result result{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, read_file(out), read_file(err),
                          WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0};
        fs::remove(out);
        fs::remove(err);
        return result;
    }

    bool can_drop_privileges() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }

    // Says why when a row cannot run: the fault shim is not built where a preload cannot reach eolfix.
    bool can_inject_faults()
    {
        if (*EOLFIX_FAULT_SHIM != '\0')
            return true;
        std::cout << "[ SKIPPED  ] a row that injects a fault: no preloadable shim on this platform\n";
        return false;
    }
};

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
    };
    for (const row &r : rows) {
        reset();
        fs::create_directory(dir / "sub");
        for (const char *name : {"in", "other", "sub/in", "x.DOS", "i*", "i?", "c:"})
            write_file(dir / name, mixed);
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
            EXPECT_EQ(read_file(dir / name), converted.at(name.substr(name.rfind('.') + 1)[0])) << what;
        EXPECT_EQ(read_file(dir / "in"), mixed) << what;
    }
}

// What the copy must hold for `mode`.
std::string translated_bytewise(const std::string &in, line_mode mode)
{
    current_mode = mode;
    return translate_bytewise(in);
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
        write_file(dir / "in", in);
        for (auto [letter, mode, extension] : {std::tuple{"D", MODE_DOS, ".DOS"},
                                               std::tuple{"U", MODE_UNIX, ".UNIX"},
                                               std::tuple{"M", MODE_MAC, ".MAC"}}) {
            const std::string what = std::to_string(size) + " bytes to " + letter + (fault ? " with "s + fault : "");
            EXPECT_EQ(run({letter, "in"}, {.fault = fault}).status, 0) << what;
            EXPECT_TRUE(read_file(dir / ("in"s + extension)) == translated_bytewise(in, mode)) << what;
        }
    }
}

TEST_F(Cli, ConvertsWhenNoThreadOrProcessCanBeStarted)
{
    if (!can_drop_privileges())
        GTEST_SKIP() << "needs root and setpriv to run eolfix as a user whose process limit applies";
    std::string in;
    while (in.size() < 3000000)
        in += mixed;
    write_file(dir / "in", in);
    const long emulator_threads = std::string_view(EOLFIX_EMULATOR).empty() ? 0 : 1; // qemu-user's own helper thread
    const run_result got = run({"D", "in"}, {.unprivileged = true, .process_limit = 1 + emulator_threads});
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(read_file(dir / "in.DOS") == translated_bytewise(in, MODE_DOS));
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
        write_file(dir / "in", r.input);
        write_file(dir / "in.MAC", r.old_copy, 0666);
        const std::string what = std::to_string(r.input.size()) + " bytes over " + std::to_string(r.old_copy.size())
                                 + (r.fault ? " with "s + r.fault : "");
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(run({"M", "in"}, {.fault = r.fault}).status, 0) << what;
            EXPECT_TRUE(read_file(dir / "in.MAC") == r.want) << what;
        }
        EXPECT_EQ(status_of(dir / "in.MAC").st_mode & 07777, 0666u) << "an existing copy keeps its mode";
    }
}

TEST_F(Cli, CopyCarriesTheInputTimesInWholeSeconds)
{
    struct row {
        timespec access, modification;
        time_t want_access, want_modification;
    };
    const row rows[] = {
        {{1000000000, 500000000}, {1200000000, 750000000}, 1000000000, 1200000000},
        {{1700000000, 0}, {315532800, 999999999}, 1700000000, 315532800},
        {{0, 0}, {1234567890, 0}, 1234567890, 1234567890}, // no access time: both from modification
        {{4102444800, 0}, {4102444801, 0}, 4102444800, 4102444801}, // 2100: past a 32-bit time_t
    };
    for (const row &r : rows) {
        write_file(dir / "in", mixed);
        const timespec times[2] = {r.access, r.modification};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / "in").c_str(), times, 0), 0);
        ASSERT_EQ(run({"D", "in"}).status, 0);
        const struct stat copy = status_of(dir / "in.DOS");
        EXPECT_EQ(copy.st_atim.tv_sec, r.want_access);
        EXPECT_EQ(copy.st_atim.tv_nsec, 0);
        EXPECT_EQ(copy.st_mtim.tv_sec, r.want_modification);
        EXPECT_EQ(copy.st_mtim.tv_nsec, 0);
    }
}

TEST_F(Cli, NewCopyIsNoMoreReadableThanTheInput)
{
    const std::pair<mode_t, mode_t> rows[] = {{0600, 0600}, {0644, 0644}, {0755, 0644}, {0444, 0644}, {0640, 0640}, {0604, 0604}};
    for (auto [input_mode, copy_mode] : rows) {
        fs::remove(dir / "in.UNIX");
        write_file(dir / "in", mixed, input_mode);
        ASSERT_EQ(run({"U", "in"}).status, 0);
        EXPECT_EQ(status_of(dir / "in.UNIX").st_mode & 07777, copy_mode) << std::oct << input_mode;
    }
}

TEST_F(Cli, NeverWritesOverTheInputThroughALink)
{
    const std::vector<std::string> setups = {"hard link", "copy links to input", "input links to copy"};
    for (const std::string &setup : setups) {
        reset();
        fs::path input = dir / "in";
        if (setup == "input links to copy") {
            write_file(dir / "in.UNIX", mixed);
            fs::create_symlink("in.UNIX", input);
        } else {
            write_file(input, mixed);
            if (setup == "hard link")
                fs::create_hard_link(input, dir / "in.UNIX");
            else
                fs::create_symlink("in", dir / "in.UNIX");
        }
        const run_result got = run({"U", "in"});
        EXPECT_EQ(got.status, 0) << setup;
        EXPECT_EQ(got.err, "") << setup;
        EXPECT_EQ(read_file(input), mixed) << setup;
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
        {"full file system behind a link", 3000000, -1, true, 0},
        {"reader leaves", 3000000, -1, true, 0},
        {"read error", 0, -1, false, 0},
        {"interrupted", 300000, -1, false, SIGINT},
        {"interrupted", 300000, -1, false, SIGTERM},
        {"interrupted", 300000, -1, false, SIGHUP},
        {"interrupted after another file took the copy's name", 300000, -1, true, SIGINT},
        {"interruption ignored by the caller", 300000, -1, true, 0}, // completes, status 0
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
            write_file(dir / "in", input);

        if (r.what == "disk full")
            fs::create_symlink("/dev/full", dir / "in.UNIX");
        if (r.what == "file too large behind a link") {
            fs::create_directory(dir / "elsewhere");
            fs::create_symlink("elsewhere/in.UNIX", dir / "in.UNIX");
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
        if (r.what.starts_with("interrupted after")) // only the file the run wrote may be removed
            options.while_running = [&](pid_t program) {
                feed_then_signal(dir / "in", input, dir / "in.UNIX", program, r.signal, [&] {
                    fs::rename(dir / "in.UNIX", dir / "moved");
                    write_file(dir / "in.UNIX", "someone else's");
                });
            };
        if (r.what.ends_with("ignored by the caller")) {
            options.ignored_signal = SIGINT;
            options.while_running = [&](pid_t program) { feed_then_signal(dir / "in", input, dir / "in.UNIX", program, SIGINT); };
        }

        const run_result got = run({"U", "in"}, options);
        const bool completes = r.what.ends_with("ignored by the caller");
        EXPECT_EQ(got.signal, r.signal) << what;
        EXPECT_EQ(got.status, r.signal ? -1 : completes ? 0 : 2) << what;
        EXPECT_EQ(got.err, "") << what;
        EXPECT_EQ(fs::is_symlink(dir / "in.UNIX") || fs::exists(dir / "in.UNIX"), r.copy_left) << what;
        if (r.what.ends_with("behind a link")) {
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
    }
}

TEST_F(Cli, PermissionFailuresLeaveEverythingAsItWas)
{
    if (!can_drop_privileges())
        GTEST_SKIP() << "needs root and setpriv to run eolfix as an unprivileged user";
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
        write_file(dir / "in", mixed, r.input_mode);
        if (r.copy_exists)
            write_file(dir / "in.DOS", "old", 0444);
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
