// CubebOutput: one stereo float stream to the default output device at a fixed rate.
//
// Threads: open(), start(), stop(), setMuted(), queuedFrames(), failed() and the destructor are
// called by the engine's control threads holding its mutex (open() by the engine's own thread,
// without it), never from a cubeb callback. cubeb calls the data callback on its realtime thread
// (CubebCallbacks::data): it renders the mix, or silence while muted, and nothing else. The state
// callback may come on any cubeb thread and only sets an atomic flag.
#pragma once

#include "AudioOutput.h"
#include "RenderGate.h"

#include <atomic>
#include <memory>

struct cubeb;
struct cubeb_stream;
class CubebLibrary;
class Mixer;

class CubebOutput : public AudioOutput
{
public:
    // Opens a stream at `rate` with about `latencyMs` of buffering, stopped and muted; null when
    // the device cannot be opened.
    static std::unique_ptr<CubebOutput> open(const CubebLibrary& library, cubeb* context,
                                             Mixer& mixer, int rate, int latencyMs);
    ~CubebOutput() override;

    bool start() override;
    void stop() override;
    bool failed() const override { return error.load(std::memory_order_acquire); }
    void setMuted(bool muted) override;
    int64_t queuedFrames() override;

private:
    friend struct CubebCallbacks;
    CubebOutput(const CubebLibrary& library, Mixer& mixer);

    const CubebLibrary& library;
    Mixer& mixer;
    RenderGate gate{true};
    cubeb_stream* stream = nullptr;
    bool started = false;
    // The buffering asked for, in frames.
    int64_t bufferFrames = 0;
    std::atomic<bool> error{false};
};
