// Mpg123Decoder: MPEG audio (MP3, and layers I and II) through libmpg123, gapless, with an exact
// length and a frame index for fast seeks.
//
// Threads: open() and findFrames() run on the thread that calls Decoder::open (the GUI thread).
// read() and seek() run on the sound's read-ahead thread only, one at a time; the format
// accessors never change after open() and may be called from any thread.
#pragma once

#include "Decoder.h"

#include <cstddef>

struct mpg123_handle_struct;

class Mpg123Decoder : public Decoder
{
public:
    // How sure a look at the start of a file is that it holds MPEG audio frames.
    enum class Sync { None, Weak, Strong };
    struct Probe {
        Sync sync = Sync::None;
        size_t firstFrame = 0; // offset within the probed bytes
    };
    // Looks for frame headers in `data`: Strong when four layer II or III headers follow each
    // other with the same version, layer, rate and channels, Weak for any shorter run of two or
    // more (and for layer I, whose headers are too common in other data).
    static Probe findFrames(const unsigned char* data, size_t size);

    // Takes ownership of `fd` (a regular file of `fileSize` bytes) in every case. `firstFrame`
    // is where the first frame header was found, used to check a Xing/Info header against the
    // file's size. Null when libmpg123 finds nothing to decode.
    static std::unique_ptr<Mpg123Decoder> open(int fd, long long fileSize, long long firstFrame);
    ~Mpg123Decoder() override;
    Mpg123Decoder(const Mpg123Decoder&) = delete;
    Mpg123Decoder& operator=(const Mpg123Decoder&) = delete;

    int sampleRate() const override { return rate; }
    int channels() const override { return channelCount; }
    int64_t lengthFrames() const override { return length; }
    int64_t read(float* out, int64_t frames) override;
    bool seek(int64_t frame) override;

    // True when the length came from reading every frame header rather than from the file's
    // Xing/Info header.
    bool lengthScanned() const { return scanned; }

private:
    Mpg123Decoder() = default;
    struct Reader;

    int fd = -1;
    std::unique_ptr<Reader> reader;
    mpg123_handle_struct* handle = nullptr;
    int rate = 0;
    int channelCount = 0;
    int64_t length = 0;
    int64_t position = 0;
    bool scanned = false;
};
