#include "Mpg123Reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

Mpg123Reader::Mpg123Reader(int fd, long long fileSize, const std::atomic<bool>& stop)
    : fd(fd), fileSize(fileSize), stop(stop), block(blockBytes)
{
}

ssize_t Mpg123Reader::read(void* handle, void* out, size_t bytes)
{
    auto* reader = static_cast<Mpg123Reader*>(handle);
    size_t done = 0;
    while (done < bytes) {
        const long long offset = reader->position - reader->blockStart;
        if (offset < 0 || offset >= static_cast<long long>(reader->blockFill)) {
            const long long left = reader->fileSize - reader->position;
            if (left <= 0 || reader->stop.load(std::memory_order_relaxed))
                return static_cast<ssize_t>(done);
            const auto want = static_cast<size_t>(std::min<long long>(blockBytes, left));
            ssize_t got = -1;
            while ((got = ::pread(reader->fd, reader->block.data(), want, reader->position)) < 0 &&
                   errno == EINTR)
                ;
            reader->blockStart = reader->position;
            reader->blockFill = got > 0 ? static_cast<size_t>(got) : 0;
            if (got <= 0)
                return got < 0 && done == 0 ? -1 : static_cast<ssize_t>(done);
            continue;
        }
        const size_t count =
            std::min(bytes - done, reader->blockFill - static_cast<size_t>(offset));
        std::memcpy(static_cast<unsigned char*>(out) + done, reader->block.data() + offset, count);
        done += count;
        reader->position += static_cast<long long>(count);
    }
    return static_cast<ssize_t>(done);
}

off_t Mpg123Reader::seek(void* handle, off_t offset, int whence)
{
    auto* reader = static_cast<Mpg123Reader*>(handle);
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return -1;
    const long long target = offset + (whence == SEEK_CUR   ? reader->position
                                       : whence == SEEK_END ? reader->fileSize
                                                            : 0);
    if (target < 0)
        return -1;
    reader->position = target;
    return static_cast<off_t>(target);
}
