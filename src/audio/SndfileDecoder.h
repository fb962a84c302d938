// SndfileDecoder: WAV, FLAC, AIFF and the other formats libsndfile reads, never MPEG audio.
//
// Threads: open() runs on the thread that calls Decoder::open (the GUI thread). read() and seek()
// run on the sound's read-ahead thread only, one at a time; the format accessors never change
// after open() and may be called from any thread.
#pragma once

#include "Decoder.h"

#include <sndfile.h>

class SndfileDecoder : public Decoder
{
public:
    // Takes ownership of `fd` (a regular file) in every case. Null when libsndfile cannot read
    // it or finds MPEG audio, which the MP3 decoder handles.
    static std::unique_ptr<SndfileDecoder> open(int fd);
    ~SndfileDecoder() override;
    SndfileDecoder(const SndfileDecoder&) = delete;
    SndfileDecoder& operator=(const SndfileDecoder&) = delete;

    int sampleRate() const override { return rate; }
    int channels() const override { return channelCount; }
    int64_t lengthFrames() const override { return length; }
    int64_t read(float* out, int64_t frames) override;
    bool seek(int64_t frame) override;

private:
    SndfileDecoder() = default;
    bool reopen();
    // Whether `frame` can be sought to and read.
    bool frameReads(int64_t frame);
    // Frames that decode from `frame` to the end.
    int64_t framesFrom(int64_t frame);
    int64_t countDecodedFrames();

    int fd = -1;
    SNDFILE* file = nullptr;
    int rate = 0;
    int channelCount = 0;
    int64_t length = 0;
    int64_t position = 0;
};
