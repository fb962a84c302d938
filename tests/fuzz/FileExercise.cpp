#include "FileExercise.h"

#include "Channel.h"
#include "Decoder.h"
#include "FormatSniffer.h"
#include "OfflineEngine.h"
#include "Sound.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

// Enough to go through every short input, and a bounded amount of any long one.
constexpr int64_t blockFrames = 1024;
constexpr int maxBlocks = 32;
// After the seeks, a sound of up to this many blocks of its timeline (3 s at 44.1 kHz) is read
// again from its start to its end; of a longer one, its last blocks.
constexpr int wholeBlocks = 130;
// The engine renders in blocks of this many frames, up to this many blocks before the seeks:
// enough to play any sound up to `shortSoundMs` to its end.
constexpr size_t renderFrames = 512;
constexpr int maxRenderBlocks = 48;
constexpr uint32_t shortSoundMs = 200;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "FileExercise: broken promise: %s\n", what);
        std::abort();
    }
}

// Reads up to `blocks` blocks, checking what the decoder base promises at every read: never more
// than asked, in a format that fits the buffer, the position never going back and never past the
// length; once a read gives nothing, the position is the length. Returns the position reached.
int64_t readBlocks(Decoder& decoder, std::vector<float>& buffer, int blocks)
{
    const int64_t length = decoder.lengthFrames();
    for (int i = 0; i < blocks; ++i) {
        const Decoder::Format format = decoder.format();
        require(format.channels > 0 && format.channels <= decoder.channels(),
                "every link has channels, no more than the decoder says");
        const int64_t before = decoder.position();
        const int64_t got = decoder.read(buffer.data(), blockFrames);
        require(got >= 0 && got <= blockFrames, "read returns between 0 and the frames asked for");
        require(decoder.position() <= length, "the position never passes the length");
        if (got == 0) {
            require(decoder.position() == length, "reading stops only at the length");
            break;
        }
        // A few frames of a link at a higher rate than the timeline's may not make up one of its
        // frames: the position never goes back, but need not move at every read.
        require(decoder.position() >= before, "a read never moves the position back");
        for (int64_t f = 0; f < got * format.channels; ++f)
            require(std::isfinite(buffer[static_cast<size_t>(f)]), "decoded samples are finite");
    }
    return decoder.position();
}

// The engine in offline mode: the sound is opened and played as SoundPlayer does, and the mix
// rendered block by block, with a pause, seeks inside and past the end, and a stop.
void renderThroughEngine(const char* path, int outputRate)
{
    const OfflineEngine engine({outputRate, false, {}}, 4);
    require(engine.ok(), "the offline engine starts");
    Sound* sound = engine.open(path);
    Channel* channel = engine.play(sound);
    require((sound == nullptr) == (channel == nullptr), "an opened sound plays");
    if (!channel)
        return;
    const uint32_t length = OfflineEngine::lengthOf(sound);
    std::vector<float> mix(static_cast<size_t>(renderFrames) * 2);
    const auto renderBlocks = [&](int blocks) {
        for (int i = 0; i < blocks; ++i) {
            engine.renderBlock(mix.data(), renderFrames);
            for (const float sample : mix)
                require(std::isfinite(sample), "the mix holds only finite samples");
            require(OfflineEngine::positionOf(channel) <= length,
                    "the position never passes the length");
        }
    };
    renderBlocks(maxRenderBlocks);
    uint32_t position = 0;
    if (channel->getPosition(&position) == AudioResult::Ok && length <= shortSoundMs)
        require(position == length, "a short sound plays to its end");
    channel->setPaused(true);
    renderBlocks(2);
    channel->setPaused(false);
    for (const uint32_t ms : {length / 2, length, length + 1000, 0u}) {
        channel->setPosition(ms);
        renderBlocks(4);
    }
    channel->stop();
    renderBlocks(1);
}

FileExercise::Outcome exercise(const char* path, FileExercise::Depth depth)
{
    FileExercise::Outcome outcome;
    std::unique_ptr<Decoder> decoder = FormatSniffer::open(path);
    if (!decoder)
        return outcome;
    outcome.opened = true;
    outcome.sampleRate = decoder->sampleRate();
    outcome.channels = decoder->channels();
    outcome.lengthFrames = decoder->lengthFrames();
    require(outcome.sampleRate > 0, "an open file has a sample rate");
    require(outcome.channels > 0, "an open file has channels");
    require(outcome.lengthFrames >= 0, "an open file has a length");

    // Room for a block of the most channels a link has.
    std::vector<float> buffer(static_cast<size_t>(blockFrames) * outcome.channels);
    outcome.framesRead = readBlocks(*decoder, buffer, maxBlocks);
    const int64_t length = outcome.lengthFrames;
    const int64_t past = length + std::min<int64_t>(12345, INT64_MAX - length);
    for (const int64_t frame : {length / 2, length - 1, length, past, int64_t{0}}) {
        if (decoder->seek(std::max<int64_t>(frame, 0)))
            require(decoder->position() <= std::clamp<int64_t>(frame, 0, length),
                    "a seek lands at or before the frame asked for");
        if (frame >= length)
            require(decoder->position() == length, "a seek to or past the end lands on it");
        readBlocks(*decoder, buffer, 4);
    }
    // A short sound whole, from its start, and the end of a longer one, to its very end (a link
    // at a lower rate than the first takes fewer blocks than its share of the timeline).
    const int64_t tail = wholeBlocks * blockFrames;
    if (decoder->seek(length <= tail ? 0 : length - 2 * blockFrames))
        readBlocks(*decoder, buffer, wholeBlocks + 1);
    decoder.reset();
    if (depth == FileExercise::DecoderOnly)
        return outcome;

    // The output rate varies with the input, so that the mix is resampled up, down or not at all.
    const int outputRate = outcome.sampleRate % 2     ? 44100
                           : outcome.lengthFrames % 2 ? 48000
                                                      : 96000;
    renderThroughEngine(path, outputRate);
    return outcome;
}

} // namespace

FileExercise::Outcome FileExercise::run(const uint8_t* data, size_t size, Depth depth)
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
    const Outcome outcome = exercise(path, depth);
    close(fd);
    return outcome;
}

FileExercise::Outcome FileExercise::runFile(const std::string& path)
{
    return exercise(path.c_str(), WholeEngine);
}
