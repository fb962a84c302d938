// VorbisDecoder: Ogg Vorbis through libvorbisfile.
//
// Threads: open() runs on the thread that calls Decoder::open (the GUI thread). read() and seek()
// run on the sound's read-ahead thread only, one at a time; the format accessors never change
// after open() and may be called from any thread.
#pragma once

#include "Decoder.h"

#include <vorbis/vorbisfile.h>

class VorbisDecoder : public Decoder
{
public:
    // Takes ownership of `fd` (a regular file) in every case. Null when it holds no Vorbis stream.
    static std::unique_ptr<VorbisDecoder> open(int fd);
    ~VorbisDecoder() override;
    VorbisDecoder(const VorbisDecoder&) = delete;
    VorbisDecoder& operator=(const VorbisDecoder&) = delete;

    int sampleRate() const override { return rate; }
    int channels() const override { return channelCount; }
    int64_t lengthFrames() const override { return length; }
    int64_t read(float* out, int64_t frames) override;
    bool seek(int64_t frame) override;

private:
    VorbisDecoder() = default;

    int fd = -1;
    OggVorbis_File file{};
    bool fileOpen = false;
    // libogg's stream state went wrong on a damaged file: the rest plays as silence.
    bool broken = false;
    int rate = 0;
    int channelCount = 0;
    int64_t length = 0;
    int64_t position = 0;
};
