// CubebOutput: one stereo float stream to the default output device at a fixed rate.
//
// finish() lets the sound server play out what the stream holds: the data callback then hands
// cubeb PaddingMs of silence and no more frames, cubeb drains the stream, and the state callback
// says when it is drained (finished() waits, besides, for as long as the stream can hold: see
// there). A drained stream holds nothing, so when it is started again the first
// thing heard is the new mix, not silence left over from before.
//
// A started stream renders silence until admit() lets the mix in: it is started by the engine's
// device thread without the mutex while something else may still render the mix (the clock).
//
// Threads: open(), start(), stop() and the destructor wait for the sound server: the engine's
// device thread calls them without the engine's mutex (open() and start() before the stream is
// handed in, stop() and the destructor once it has been given up after finish()). admit(),
// finish(), finished() and failed() are called holding the mutex, never from a cubeb callback.
// cubeb calls the data callback on its realtime thread (CubebCallbacks::data): it counts its calls
// and renders the mix, or hands over nothing once finishing, and nothing else. The state callback
// may come on any cubeb thread and only sets atomic flags.
#pragma once

#include "AudioOutput.h"
#include "RenderGate.h"

#include <atomic>
#include <chrono>
#include <memory>

struct cubeb;
struct cubeb_stream;
class CubebLibrary;
class Mixer;

class CubebOutput : public AudioOutput
{
public:
    // Opens a stream at `rate` with about `latencyMs` of buffering, stopped; null when the device
    // cannot be opened.
    static std::unique_ptr<CubebOutput> open(const CubebLibrary& library, cubeb* context,
                                             Mixer& mixer, int rate, int latencyMs);
    ~CubebOutput() override;

    bool start() override;
    void admit() override { gate.open(); }
    void stop() override;
    bool failed() const override { return error.load(std::memory_order_acquire); }
    void finish() override;
    bool finished() const override;
    uint64_t renderCalls() const override { return calls.load(std::memory_order_relaxed); }

    // Silence written after the mix when the stream finishes.
    static constexpr int PaddingMs = 30;
    // Allowed, beyond the buffering asked for, for the sink's own latency.
    static constexpr int DrainMarginMs = 30;

private:
    friend struct CubebCallbacks;
    CubebOutput(const CubebLibrary& library, Mixer& mixer);

    const CubebLibrary& library;
    Mixer& mixer;
    // Closed until admit(), and again from finish() on.
    RenderGate gate{true};
    cubeb_stream* stream = nullptr;
    bool started = false;
    long paddingFrames = 0;
    // Set by finish(): when the mix stopped going out, and how long the server may hold it.
    std::chrono::steady_clock::time_point finishedAt{};
    std::chrono::milliseconds heldAtMost{0};
    // Set by start() while the stream is stopped, then counted down by the data callback alone.
    long paddingLeft = 0;
    std::atomic<bool> finishing{false};
    std::atomic<bool> drained{false};
    std::atomic<bool> error{false};
    std::atomic<uint64_t> calls{0};
};
