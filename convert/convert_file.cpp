#include "convert/convert_file.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <semaphore>

#include "convert/line_mode.h"
#include "convert/platform.h"
#include "convert/translate.h"

namespace {

// Reads of 256 KiB keep system calls rare; with three output blocks of twice that, the buffers
// take 1.75 MiB, fixed whatever the size of the file.
constexpr std::size_t input_block_size = 256 * 1024;
constexpr unsigned output_block_count = 3;
constexpr std::size_t page_size = 4096;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

// Wildcards are never expanded, and "X:" names a drive rather than a file on the tool's first home.
bool names_no_file(const char *name)
{
    return std::strpbrk(name, "?*") != nullptr || (std::strlen(name) == 2 && name[1] == ':');
}

// One copy from input to output. With a second thread, this thread reads and translates while the
// other writes the blocks before, so the kernel's copy into the output overlaps our work; three
// blocks in flight absorb the jitter of either side.
struct copy_job {
    int in = -1, out = -1;
    unsigned char *input_block = nullptr;
    unsigned char *output_blocks[output_block_count] = {};
    std::size_t sizes[output_block_count] = {}; // bytes in each block; end_of_blocks after the last
    std::counting_semaphore<output_block_count> free_blocks{output_block_count}; // for the reader
    std::counting_semaphore<output_block_count> full_blocks{0};                 // for the writer
    std::atomic<bool> write_failed{false}; // set by the writer, tells the reader to stop
    bool read_failed = false;              // the reader's; looked at once both threads have finished
};

constexpr std::size_t end_of_blocks = SIZE_MAX;

// Reads the next block and translates it into `output`; false at end of input or on a read error.
bool translate_next(copy_job &job, unsigned char *output, std::size_t *size, break_state *state)
{
    const long got = read_some(job.in, job.input_block, input_block_size);
    if (got <= 0) {
        job.read_failed = got < 0;
        return false;
    }
    *size = translate_block(job.input_block, static_cast<std::size_t>(got), output, state);
    return true;
}

// The copy on this thread alone: for inputs of one block, or when no thread can be had.
void copy_alone(copy_job &job)
{
    break_state state = BREAK_NONE;
    std::size_t size = 0;
    while (translate_next(job, job.output_blocks[0], &size, &state))
        if (write_all(job.out, job.output_blocks[0], size) != 0) {
            job.write_failed = true;
            return;
        }
}

void read_and_translate(void *argument)
{
    copy_job &job = *static_cast<copy_job *>(argument);
    break_state state = BREAK_NONE;
    for (unsigned block = 0;; block = (block + 1) % output_block_count) {
        job.free_blocks.acquire();
        const bool more = !job.write_failed.load(std::memory_order_relaxed) &&
                          translate_next(job, job.output_blocks[block], &job.sizes[block], &state);
        if (!more)
            job.sizes[block] = end_of_blocks;
        job.full_blocks.release();
        if (!more)
            return;
    }
}

void write_translated(void *argument)
{
    copy_job &job = *static_cast<copy_job *>(argument);
    for (unsigned block = 0;; block = (block + 1) % output_block_count) {
        job.full_blocks.acquire();
        if (job.sizes[block] == end_of_blocks)
            return;
        // After a failure, blocks already on their way are dropped; the reader stops at its next turn.
        if (!job.write_failed.load(std::memory_order_relaxed) &&
            write_all(job.out, job.output_blocks[block], job.sizes[block]) != 0)
            job.write_failed.store(true, std::memory_order_relaxed);
        job.free_blocks.release();
    }
}

} // namespace

int convert_file(const char *name)
{
    if (names_no_file(name))
        return 0;
    // Captured before the input is opened, so the access time is the one it had before we read it.
    file_times times;
    if (query_file_times(name, &times) != 0)
        return 0;
    if (times.access == 0) // no access time recorded: carry the modification time for both
        times.access = times.modification;

    const std::size_t name_size = std::strlen(name) + 6; // ".UNIX" and the terminator
    const std::unique_ptr<char[]> copy_name(new (std::nothrow) char[name_size]);
    if (!copy_name)
        return 0;
    (void)std::snprintf(copy_name.get(), name_size, "%s%s", name, mode_extensions[current_mode]);

    // Page-aligned: the kernel copies into and out of aligned buffers markedly faster.
    constexpr std::size_t output_block_size = max_translated_size(input_block_size);
    const std::unique_ptr<unsigned char, free_deleter> blocks(static_cast<unsigned char *>(
        std::aligned_alloc(page_size, input_block_size + output_block_count * output_block_size)));
    if (!blocks)
        return 0;

    owned_descriptor in(open_input(name));
    file_identity input;
    if (in.fd < 0 || describe_file(in.fd, &input) != 0 || input.is_directory)
        return 0;
    advise_sequential(in.fd);

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

    copy_job job;
    job.in = in.fd;
    job.out = out.fd;
    job.input_block = blocks.get();
    for (unsigned block = 0; block < output_block_count; ++block)
        job.output_blocks[block] = job.input_block + input_block_size + block * output_block_size;
    // A file of one block has nothing to overlap; a size of 0 may only mean the size is unknown.
    const bool one_block = input.size > 0 && input.size <= input_block_size;
    if (one_block || run_side_by_side(write_translated, read_and_translate, &job) != 0)
        copy_alone(job);
    int result = job.read_failed || job.write_failed.load() ? -1 : 0;
    (void)close_file(in.release());
    if (close_file(out.release()) != 0)
        result = -1;
    if (result != 0) {
        // A short copy must not pass for a whole one; a device behind the name is left alone.
        if (copy.is_regular)
            (void)remove_file(copy_name.get());
        return -1;
    }
    // After the close, so nothing written later can move the modification time again.
    (void)set_file_times(copy_name.get(), &times);
    return 0;
}
