// AudioOutput: something that calls the mixer's render at the output rate while it runs.
//
// Threads: start(), stop() and failed() are called by control threads holding the engine's
// mutex. The render calls happen on the output's own thread.
#pragma once

class AudioOutput
{
public:
    virtual ~AudioOutput() = default;
    // Begins calling render; false when the output cannot run.
    virtual bool start() = 0;
    // Returns once no render call is running or will run until the next start().
    virtual void stop() = 0;
    // True once the output has broken down while running (a lost device).
    virtual bool failed() const = 0;
};
