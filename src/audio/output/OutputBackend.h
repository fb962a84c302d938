// OutputBackend: where the outputs come from. The engine's is cubeb and the silent clock
// (CubebBackend); the tests give OutputController one of their own.
//
// Threads: openDevice() and disconnect() wait for the sound server: the engine's device thread
// alone calls them, without the engine's mutex. openClock() is called by any control thread
// holding the mutex, preferredRate() by any thread.
#pragma once

#include <memory>

class AudioOutput;
class Mixer;

class OutputBackend
{
public:
    virtual ~OutputBackend() = default;
    // A stopped stream to the default device at `rate` that renders `mixer`; null when no
    // device can be opened. A connection that fails to open a stream is not kept.
    virtual std::unique_ptr<AudioOutput> openDevice(Mixer& mixer, int rate) = 0;
    // Forgets the connection to the sound server, so the next openDevice() connects afresh. Every
    // device opened through it is destroyed first.
    virtual void disconnect() = 0;
    // A stopped silent clock that renders `mixer` at its current rate in real time.
    virtual std::unique_ptr<AudioOutput> openClock(Mixer& mixer) = 0;
    // The device's own rate, once a connection has told it; 0 before.
    virtual int preferredRate() const = 0;
};
