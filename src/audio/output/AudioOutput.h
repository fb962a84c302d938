// AudioOutput: something that calls the mixer's render at one output rate while it runs: a stream
// to the sound device, or the silent clock.
//
// Threads: every method is called by the engine's control threads holding the engine's mutex,
// one at a time, except where a device stream waits for the sound server: the engine's device
// thread opens and start()s it without the mutex before it is handed in, and stop()s and destroys
// it without the mutex once it has been given up (after finish()); nothing else touches it then.
// The render calls happen on the output's own thread.
#pragma once

#include <cstdint>

class AudioOutput
{
public:
    virtual ~AudioOutput() = default;
    // Begins calling render; false when the output cannot run. A device stream renders silence
    // until admit(); the clock renders the mix at once.
    virtual bool start() = 0;
    // Lets the mix into a started device stream's render (nothing for the clock). Called holding
    // the engine's mutex, once nothing else renders the mix.
    virtual void admit() = 0;
    // Stops at once; returns once no render call is running or will run until the next start().
    virtual void stop() = 0;
    // True once the output has broken down (a lost device).
    virtual bool failed() const = 0;
    // Renders no more of the mix: what was rendered before is played out, and then the output
    // has finished(). Returns once no render of the mix is in progress, so the mixer can be
    // changed.
    virtual void finish() = 0;
    // True once everything rendered before finish() has been played.
    virtual bool finished() const = 0;
    // How many times the output has asked for audio so far: it grows while the output runs, and
    // stands still when whatever drives it has stopped asking. Any thread may read it.
    virtual uint64_t renderCalls() const = 0;
};
