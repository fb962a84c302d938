// Sound: one opened audio file, with its exact length known. A sound plays on one channel at a
// time; playing it again moves it to the new channel.
//
// Threads: every method is called from the thread that owns the AudioSystem (the GUI thread).
#pragma once

#include "AudioResult.h"

#include <cstdint>
#include <memory>

class AudioSystem;
class Decoder;

class Sound
{
public:
    ~Sound();
    Sound(const Sound&) = delete;
    Sound& operator=(const Sound&) = delete;

    // Length in milliseconds: lengthFrames * 1000 / rate, rounded down.
    AudioResult getLength(uint32_t* ms);
    // Stops any channel playing this sound and frees it; the pointer is dead afterwards.
    AudioResult release();

    int sampleRate() const { return rate; }
    int64_t lengthFrames() const { return frames; }
    uint32_t lengthMs() const;

private:
    friend class AudioSystem;
    Sound(AudioSystem& system, std::unique_ptr<Decoder> decoder);

    AudioSystem& system;
    std::unique_ptr<Decoder> decoder;
    const int rate;
    const int64_t frames;
    bool decoderUsed = false;
};
