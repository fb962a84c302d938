// AudioOutput: something that calls the mixer's render at one output rate while it runs: a stream
// to the sound device, or the silent clock.
//
// Threads: every method is called by the engine's control threads holding the engine's mutex,
// one at a time. The render calls happen on the output's own thread.
#pragma once

#include <cstdint>

class AudioOutput
{
public:
    virtual ~AudioOutput() = default;
    // Begins calling render; false when the output cannot run.
    virtual bool start() = 0;
    // Returns once no render call is running or will run until the next start().
    virtual void stop() = 0;
    // True once the output has broken down (a lost device).
    virtual bool failed() const = 0;
    // While muted the output renders silence instead of the mix. Muting returns once no render of
    // the mix is in progress, so the mixer can then be changed.
    virtual void setMuted(bool muted) = 0;
    // Frames already rendered that may not have been heard yet, at most: what stopping now could
    // cut off.
    virtual int64_t queuedFrames() = 0;
};
