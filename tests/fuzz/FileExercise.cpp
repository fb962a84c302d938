#include "FileExercise.h"

#include "Decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

// Enough to go through every short input, and a bounded amount of any long one.
constexpr int64_t blockFrames = 1024;
constexpr int maxBlocks = 64;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "FileExercise: broken promise: %s\n", what);
        std::abort();
    }
}

int64_t readBlocks(Decoder& decoder, std::vector<float>& buffer, int blocks)
{
    int64_t total = 0;
    for (int i = 0; i < blocks; ++i) {
        const int64_t got = decoder.read(buffer.data(), blockFrames);
        require(got >= 0 && got <= blockFrames, "read returns between 0 and the frames asked for");
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

FileExercise::Outcome exercise(const char* path)
{
    FileExercise::Outcome outcome;
    std::unique_ptr<Decoder> decoder = Decoder::open(path);
    if (!decoder)
        return outcome;
    outcome.opened = true;
    outcome.sampleRate = decoder->sampleRate();
    outcome.channels = decoder->channels();
    outcome.lengthFrames = decoder->lengthFrames();
    require(outcome.sampleRate > 0, "an open file has a sample rate");
    require(outcome.channels > 0, "an open file has channels");
    require(outcome.lengthFrames >= 0, "an open file has a length");

    // Room for a block of any channel count the decoder may report.
    std::vector<float> buffer(static_cast<size_t>(blockFrames) * outcome.channels);
    outcome.framesRead = readBlocks(*decoder, buffer, maxBlocks);
    const int64_t length = outcome.lengthFrames;
    for (const int64_t frame : {length / 2, length - 1, length, length + 12345, int64_t{0}}) {
        decoder->seek(std::max<int64_t>(frame, 0));
        readBlocks(*decoder, buffer, 4);
    }
    return outcome;
}

} // namespace

FileExercise::Outcome FileExercise::run(const uint8_t* data, size_t size)
{
    const int fd = memfd_create("brisnak-input", MFD_CLOEXEC);
    require(fd >= 0, "an in-memory file can be made");
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        require(n > 0, "the in-memory file takes the input");
        written += static_cast<size_t>(n);
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const Outcome outcome = exercise(path);
    close(fd);
    return outcome;
}

FileExercise::Outcome FileExercise::runFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    return run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
