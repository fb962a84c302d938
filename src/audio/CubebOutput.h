// CubebOutput: the stereo float stream to the default output device at the mixer's rate, opened
// again only when that rate changes, otherwise just started and stopped.
//
// Threads: open(), start(), stop(), failed() and the destructor are called by control threads
// holding the engine's mutex (never from a cubeb callback). cubeb calls its data callback on its
// realtime thread (CubebCallbacks::data); it only renders the mix. The state callback may come on
// any cubeb thread and only sets an atomic flag.
#pragma once

#include "AudioOutput.h"

#include <atomic>
#include <memory>

struct cubeb;
struct cubeb_stream;
class Mixer;

class CubebOutput : public AudioOutput
{
public:
    // Opens a stream at the mixer's rate with about `latencyMs` of buffering; null when no
    // device can be opened.
    static std::unique_ptr<CubebOutput> open(cubeb* context, Mixer& mixer, int latencyMs);
    ~CubebOutput() override;

    bool start() override;
    void stop() override;
    bool failed() const override { return error.load(std::memory_order_acquire); }

private:
    friend struct CubebCallbacks;
    explicit CubebOutput(Mixer& mixer);

    Mixer& mixer;
    cubeb_stream* stream = nullptr;
    bool started = false;
    std::atomic<bool> error{false};
};
