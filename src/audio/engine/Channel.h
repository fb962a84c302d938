// Channel: a handle on one play of a sound. Once the channel is stopped (or its sound released)
// every call answers InvalidHandle, does nothing and stores nothing.
//
// Threads: every method is called from the thread that owns the AudioSystem (the GUI thread).
#pragma once

#include "AudioResult.h"

#include <cstdint>

class AudioSystem;

class Channel
{
public:
    AudioResult stop();
    AudioResult setPaused(bool paused);
    AudioResult getPaused(bool* paused);
    // Milliseconds of the sound played; equal to the sound's length once it has played to its end.
    AudioResult getPosition(uint32_t* ms);
    // Continues from `ms`; a position at or past the end ends the channel.
    AudioResult setPosition(uint32_t ms);
    // False once the channel has been stopped or its sound released.
    bool isLive() const;

private:
    friend class AudioSystem;
    Channel(AudioSystem& system, int slot, uint32_t generation)
        : system(system), slot(slot), generation(generation)
    {
    }

    AudioSystem& system;
    const int slot;
    const uint32_t generation;
};
