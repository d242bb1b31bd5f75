// SPDX-License-Identifier: MIT
#include "convert/convert_file.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "convert/line_mode.h"
#include "convert/platform.h"
#include "convert/translate.h"

namespace {

// Reads of 256 KiB keep system calls rare; the output block holds the worst case of twice that.
// Together 768 KiB, fixed whatever the size of the file or the length of its lines.
constexpr std::size_t input_block_size = 256 * 1024;
constexpr std::size_t output_block_size = max_translated_size(input_block_size);
constexpr std::size_t page_size = 4096;

struct aligned_deleter {
    void operator()(unsigned char *p) const { free_aligned(p); }
};

// Wildcards are never expanded, and "X:" names a drive rather than a file on the tool's first home.
bool names_no_file(const char *name)
{
    return std::strpbrk(name, "?*") != nullptr || (std::strlen(name) == 2 && name[1] == ':');
}

// Streams `in` through the translator into `out`, one block at a time; -1 if a read or write failed.
int copy_translated(int in, int out, unsigned char *input_block, unsigned char *output_block)
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

    const std::size_t name_size = std::strlen(name) + 6; // ".UNIX" and the terminator
    const std::unique_ptr<char[]> copy_name(new (std::nothrow) char[name_size]);
    if (!copy_name)
        return 0;
    (void)std::snprintf(copy_name.get(), name_size, "%s%s", name, mode_extensions[current_mode]);

    // Page-aligned: the kernel copies into and out of aligned buffers markedly faster.
    const std::unique_ptr<unsigned char, aligned_deleter> blocks(
        allocate_aligned(page_size, input_block_size + output_block_size));
    if (!blocks)
        return 0;

    owned_descriptor in(open_input(name));
    file_identity input;
    if (in.fd < 0 || describe_file(in.fd, &input) != 0 || input.is_directory)
        return 0;
    advise_sequential(in.fd);
    // From the opened input, before it is read: its own times, as they were before we read it.
    file_times times = input.times;
    if (times.access == 0) // no access time recorded: carry the modification time for both
        times.access = times.modification;

    // Never readable by more people than the input is: group and other keep only their read bits.
    owned_descriptor out(open_output(copy_name.get(), 0600 | (input.permissions & 0044)));
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
        arm_copy_removal(out.fd, copy_name.get());

    int result = copy_translated(in.fd, out.fd, blocks.get(), blocks.get() + input_block_size);
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
    (void)set_file_times(copy_name.get(), &times);
    return 0;
}
