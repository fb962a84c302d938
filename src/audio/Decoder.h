// Decoder: one audio file read as interleaved 32-bit float frames.
//
// Threads: open() runs on the GUI thread when a sound is created. Afterwards read() and seek() are
// called by the sound's read-ahead thread only, never concurrently; the format accessors may be
// called from any thread, as they never change after open().
#pragma once

#include <cstdint>
#include <memory>

class Decoder
{
public:
    virtual ~Decoder() = default;

    virtual int sampleRate() const = 0;
    virtual int channels() const = 0;
    // Exact number of frames a full decode yields, known as soon as the file is open.
    virtual int64_t lengthFrames() const = 0;

    // Reads up to `frames` frames into `out` (room for frames * channels() floats). Returns the
    // number read; 0 at the end of the file or when nothing more can be decoded.
    virtual int64_t read(float* out, int64_t frames) = 0;
    // Moves the read position to `frame`, clamped to the length. False when the decoder cannot.
    virtual bool seek(int64_t frame) = 0;

    // Opens `path`, choosing the decoder by the file's content. Null when the file is not a
    // regular readable file or holds nothing playable; never blocks on FIFOs or devices.
    static std::unique_ptr<Decoder> open(const char* path);
};
