// Mpg123Reader: a regular file as libmpg123 reads it (mpg123_replace_reader_handle), served from
// blocks read at once. libmpg123 reads a frame's header and body with separate small reads;
// through the descriptor that is two system calls per frame: mpg123_scan of a 2-hour 128 kbit/s
// file (cached) took 748 ms through mpg123_open_fd and 55 ms through this reader. The reading
// ahead of a far seek gains as much.
//
// Threads: it is called by the libmpg123 handle it feeds, on the thread using that handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <sys/types.h>
#include <vector>

class Mpg123Reader
{
public:
    // Reads `fd` (not owned) up to byte `fileSize`; nothing once `stop` is set.
    Mpg123Reader(int fd, long long fileSize, const std::atomic<bool>& stop);
    // The next read starts at the beginning of the file.
    void rewind() { position = 0; }

    // The callbacks for mpg123_replace_reader_handle, `handle` being the reader.
    static ssize_t read(void* handle, void* out, size_t bytes);
    static off_t seek(void* handle, off_t offset, int whence);

private:
    static constexpr size_t blockBytes = 256 * 1024;

    int fd = -1;
    long long fileSize = 0;
    const std::atomic<bool>& stop;
    long long position = 0;
    long long blockStart = 0;
    size_t blockFill = 0;
    std::vector<unsigned char> block;
};
