// SPDX-License-Identifier: MIT
#include "convert/convert_file.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "convert/line_mode.h"
#include "convert/platform/platform.h"
#include "convert/translate.h"

namespace {

// Reads of up to 256 KiB keep system calls rare; the output block holds the worst case of twice that.
constexpr std::size_t input_block_size = 256 * 1024;

// Static, so a run allocates nothing and a small file touches only the pages it fills. Page-aligned,
// as the kernel copies to and from aligned buffers faster.
alignas(4096) unsigned char input_block[input_block_size];
alignas(4096) unsigned char output_block[max_translated_size(input_block_size)];

// Longer copy names than this go to the heap; the usual ones cost it no first use.
constexpr std::size_t stack_name_size = 4096;

struct malloc_deleter {
    void operator()(char *p) const { std::free(p); }
};

// Wildcards are never expanded, and "X:" names a drive rather than a file on the tool's first home.
// Plain loops here and for the copy's name: the C library's general functions cost a small run
// page faults of their own.
bool names_no_file(const char *name)
{
    for (const char *p = name; *p != '\0'; ++p)
        if (*p == '?' || *p == '*')
            return true;
    return std::strlen(name) == 2 && name[1] == ':';
}

// Streams `in` through the translator into `out`, one block at a time, up to the end of the file
// however far it has grown since it was measured; -1 if a read or write failed.
int copy_translated(int in, int out)
{
    break_state state = BREAK_NONE; // carried from block to block, so a pair split between two stays one break
    for (;;) {
        const long got = read_some(in, input_block, input_block_size);
        if (got == 0)
            return 0;
        if (got < 0)
            return -1;
        const std::size_t size = translate_block(input_block, static_cast<std::size_t>(got), output_block, &state);
        if (write_all(out, output_block, size) != 0)
            return -1;
    }
}

} // namespace

int convert_file(const char *name)
{
    if (names_no_file(name))
        return 0;
    // Only tells whether there is a file: by the time it is opened the name may lead to another one.
    file_times named_times;
    if (query_file_times(name, &named_times) != 0)
        return 0;

    const std::size_t name_length = std::strlen(name);
    const char *extension = mode_extensions[current_mode];
    char stack_name[stack_name_size];
    std::unique_ptr<char, malloc_deleter> heap_name;
    char *copy_name = stack_name;
    if (name_length + 6 > stack_name_size) { // ".UNIX" and the terminator
        heap_name.reset(static_cast<char *>(std::malloc(name_length + 6)));
        if (!heap_name)
            return 0;
        copy_name = heap_name.get();
    }
    std::memcpy(copy_name, name, name_length);
    std::memcpy(copy_name + name_length, extension, std::strlen(extension) + 1);

    owned_descriptor in(open_input(name));
    file_identity input;
    if (in.fd < 0 || describe_file(in.fd, &input) != 0 || input.is_directory)
        return 0;
    if (!input.is_regular || input.size >= input_block_size) // a file read in one call gains nothing from read-ahead
        advise_sequential(in.fd);
    // From the opened input, before it is read: its own times, as they were before we read it.
    file_times times = input.times;
    if (times.access == 0) // no access time recorded: carry the modification time for both
        times.access = times.modification;

    // Never readable by more people than the input is: group and other keep only their read bits.
    owned_descriptor out(open_output(copy_name, 0600 | (input.permissions & 0044)));
    file_identity copy;
    if (out.fd < 0 || describe_file(out.fd, &copy) != 0)
        return 0;
    // A link can make the copy's name lead to the input; truncating then would destroy it.
    if (copy.device == input.device && copy.inode == input.inode)
        return 0;
    // Only now is it safe to empty an old copy. Not a new one: on ext4, truncating makes the close
    // wait for the data to reach the disk. Devices and pipes have nothing to cut.
    if (copy.is_regular && copy.size > 0 && truncate_file(out.fd) != 0)
        return 0;

    // Until it is complete, an interrupt removes the copy too; a device or pipe is not ours to remove.
    if (copy.is_regular)
        arm_copy_removal(out.fd, copy_name);

    int result = copy_translated(in.fd, out.fd);
    (void)close_file(in.release());
    if (close_file(out.release()) != 0)
        result = -1;
    if (result != 0) {
        // A short copy must not pass for a whole one; behind a link, the file goes and the link stays.
        if (copy.is_regular)
            (void)remove_armed_copy();
        return -1;
    }
    disarm_copy_removal();
    // After the close, so nothing written later can move the modification time again.
    (void)set_file_times(copy_name, &times);
    return 0;
}
