// SPDX-License-Identifier: MIT
#pragma once

// Every call the tool makes into the operating system lives behind these functions, so a port
// replaces one source file. Results follow the stream convention: 0 (or a count) on success, -1 on
// failure. None of them prints anything.

#include <cstddef>
#include <cstdint>

/// Access and modification times in whole seconds since 1970-01-01 00:00:00 UTC.
struct file_times {
    std::int64_t access;
    std::int64_t modification;
};

/// What the job needs to know about an open file.
struct file_identity {
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t size; ///< in bytes
    unsigned permissions; ///< the permission bits, 07777 at most
    bool is_directory;
    bool is_regular;
    file_times times; ///< last access and last modification
};

/// Reads the times of the file `name` names (following links); -1 if it cannot be queried.
int query_file_times(const char *name, file_times *times);

/// Opens `name` for reading; returns a descriptor or -1.
int open_input(const char *name);

/// Opens `name` for writing without truncating it, creating it with `permissions` (narrowed by the
/// umask) if it is missing; an existing file keeps its mode. Returns a descriptor or -1.
int open_output(const char *name, unsigned permissions);

/// Describes the open file `fd`; -1 on failure.
int describe_file(int fd, file_identity *identity);

/// Cuts the open file `fd` to zero length; -1 on failure.
int truncate_file(int fd);

/// Tells the system the file will be read once from start to end; only a hint.
void advise_sequential(int fd);

/// Reads up to `size` bytes, retrying when a signal interrupts; returns the count, 0 at end of
/// file, or -1 on a read error.
long read_some(int fd, void *buffer, std::size_t size);

/// Writes all `size` bytes, resuming after short writes and interruptions; 0 or -1. A write that
/// makes no progress counts as a failure rather than a reason to loop.
int write_all(int fd, const void *buffer, std::size_t size);

/// Closes `fd`; -1 if the close reports an error (data may not have reached the file).
int close_file(int fd);

/// Sets the access and modification times of the file `name` names; 0 or -1.
int set_file_times(const char *name, const file_times *times);

/// Makes a write past the file-size limit, or into a pipe that nobody reads any more, fail as a
/// write error instead of ending the process.
void ignore_write_signals();

/// Prepares the removal of the copy open as `fd` under `name`: of the file itself, found by
/// following every link in `name`, so that a link stays. From now on an interrupt, termination or
/// hang-up (on Windows Ctrl-C, Ctrl-Break or a closed console) removes that file, then ends the
/// process as if it had not been caught; one the caller ignored stays ignored. Nothing is removed
/// that is not that file.
void arm_copy_removal(int fd, const char *name);

/// Removes the file armed by arm_copy_removal, then disarms; 0 or -1.
int remove_armed_copy();

/// Gives the interrupt, termination and hang-up signals their usual effect back; nothing is removed.
void disarm_copy_removal();

/// The x86 features (the X86_ bits of cpu_features.h) the C library found usable as it loaded the program, in
/// `*features`: reading them costs no CPUID of ours. -1 where the C library does not keep them, or
/// the processor is not x86.
int features_found_by_loader(unsigned *features);

/// Owns a descriptor and closes it on every path; release() hands it over for a checked close.
struct owned_descriptor {
    int fd = -1;
    explicit owned_descriptor(int descriptor) : fd(descriptor) {}
    owned_descriptor(const owned_descriptor &) = delete;
    owned_descriptor &operator=(const owned_descriptor &) = delete;
    ~owned_descriptor()
    {
        if (fd >= 0)
            (void)close_file(fd);
    }
    int release()
    {
        const int descriptor = fd;
        fd = -1;
        return descriptor;
    }
};
