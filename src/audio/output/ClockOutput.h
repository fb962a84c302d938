// ClockOutput: the silent output used when no device can be opened or the device fails. A thread
// renders the mix into a scratch buffer at real-time pace, so positions advance and sounds end
// as they would on a card playing into nothing.
//
// Threads: start(), stop(), finish() and the destructor are called by control threads holding
// the engine's mutex; the render calls happen on the clock's own thread, which sleeps on a
// condition variable while stopped (no CPU spent when nothing plays). It is made for the mixer's
// rate at the time and paces itself by it.
#pragma once

#include "AudioOutput.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class Mixer;

class ClockOutput : public AudioOutput
{
public:
    explicit ClockOutput(Mixer& mixer);
    ~ClockOutput() override;

    bool start() override;
    void stop() override;
    // The clock renders the mix from its start.
    void admit() override {}
    bool failed() const override { return false; }
    // What the clock renders is gone at once: finishing is stopping.
    void finish() override { stop(); }
    bool finished() const override { return true; }
    uint64_t renderCalls() const override { return calls.load(std::memory_order_relaxed); }

private:
    void run();

    Mixer& mixer;
    const size_t blockFrames;
    std::unique_ptr<float[]> buffer;
    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    bool rendering = false;
    bool quit = false;
    std::atomic<uint64_t> calls{0};
    std::thread thread;
};
