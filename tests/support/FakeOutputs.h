// Fake outputs behind the engine's backend seam (OutputBackend), for the output's and the engine's
// tests: devices that open, start, fail, stall or play out as the test says, and calls that wait
// at a Hold as long as the test keeps it closed, as with a sound server that does not answer.
//
// With realTime, the clock is the engine's own (ClockOutput) and a device renders the mix at real
// pace once handed in, so positions move and tracks end; without it nothing renders, and the test
// drives the controller with a made-up clock.
//
// Threads: the engine's device thread opens, starts, stops and destroys the devices while the
// test's thread looks at their logs: every field that both touch is atomic, and the backend's
// lists are guarded by its own mutex.
#pragma once

#include "AudioOutput.h"
#include "OutputBackend.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class Mixer;

// A point where a fake call waits while the test keeps it closed.
class Hold
{
public:
    void close();
    // Lets every call waiting here, and every later one, through.
    void open();
    // Called by the fake: returns once the hold is open.
    void pass();
    // How many calls wait here now.
    int waiting() const;

private:
    mutable std::mutex mutex;
    std::condition_variable opened;
    bool closed = false;
    int waiters = 0;
};

// What happened to one fake output, kept by the backend so it outlives the output.
struct OutputLog {
    std::atomic<bool> isClock{false};
    std::atomic<int> rate{0};
    std::atomic<bool> started{false};
    std::atomic<bool> admitted{false};
    std::atomic<bool> finishing{false};
    std::atomic<bool> destroyed{false};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    // Set by the test.
    std::atomic<bool> refuseStart{false};
    std::atomic<bool> failed{false};
    // Whether what the output held before finish() has been played yet.
    std::atomic<bool> playedOut{true};
    // Whether whatever drives the output has stopped asking for audio.
    std::atomic<bool> stalled{false};
    std::atomic<uint64_t> renderCalls{0};
};

class FakeBackend : public OutputBackend
{
public:
    explicit FakeBackend(bool realTime = false) : realTime(realTime) {}

    std::unique_ptr<AudioOutput> openDevice(Mixer& mixer, int rate) override;
    void disconnect() override;
    std::unique_ptr<AudioOutput> openClock(Mixer& mixer) override;
    int preferredRate() const override { return 0; }

    // The last device opened, and the last clock (null before the first).
    std::shared_ptr<OutputLog> lastDevice() const;
    std::shared_ptr<OutputLog> lastClock() const;
    // Devices opened so far, and those of them not destroyed yet.
    int deviceCount() const;
    int openDevices() const;

    const bool realTime;
    std::atomic<bool> deviceAvailable{true};
    // Whether the devices it opens have played out what they hold as soon as they finish.
    std::atomic<bool> playedOut{true};
    // Whether the devices it opens refuse to start.
    std::atomic<bool> refuseStart{false};
    std::atomic<int> tries{0};
    std::atomic<int> disconnects{0};
    // Where opening, starting and stopping (closing) a device wait.
    Hold openHold;
    Hold startHold;
    Hold stopHold;

private:
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<OutputLog>> devices;
    std::vector<std::shared_ptr<OutputLog>> clocks;
};
