// Voice: the realtime half of one mixer channel. Its ring holds stereo frames at the output rate,
// already decoded and resampled by the read-ahead side (VoiceFeeder).
//
// Threads: mixInto() runs on the output thread (the cubeb callback, the silent clock thread, or
// the test's own thread in offline mode) and never allocates, locks, blocks or logs. Everything
// else runs on a control thread (the GUI thread, or the read-ahead thread under the engine's
// mutex). Control code that touches the consumer side of the ring or the fade state first takes
// the voice with acquireControl()/releaseControl(); mixInto() only tries to take it and skips the
// voice for one block when control holds it, so the realtime side never waits.
#pragma once

#include "SpscRing.h"
#include "StereoFrame.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

class Voice
{
public:
    enum State : int { Idle, Active, Stopping };

    Voice() = default;
    Voice(const Voice&) = delete;
    Voice& operator=(const Voice&) = delete;

    // Control, holding the voice while it is idle: allocates the ring (again only when the output
    // rate has grown past what it holds) and readies the voice for a new play, paused or not.
    // `fadeFrames` is the length of every fade at the output rate; after a start or a seek the
    // voice stays silent until `primeFrames` are buffered (or the sound has no more), so a slow
    // first decode delays the sound instead of breaking it up.
    void prepare(size_t ringFrames, int fadeFrames, size_t primeFrames, bool paused);

    // Control: exclusive use of the consumer side and the fade state, for a few instructions.
    void acquireControl();
    void releaseControl();

    // Control, holding the voice: empties the ring, restarts the rendered-frame count and makes
    // the next audible frame fade in from the last one heard (used by seek).
    void flushForSeek();

    // Output thread: adds up to `frames` stereo frames of this voice into `out` (interleaved).
    // `scratch` has room for scratchFrames frames.
    void mixInto(float* out, size_t frames, StereoFrame* scratch, size_t scratchFrames);

    // True once prepare() has allocated the ring.
    bool hasRing() const { return ringReady; }

    // True while the output must keep running for this voice: it plays, or a fade is still due.
    bool needsOutput() const;

    SpscRing<StereoFrame> ring;

    // Written by control (holding the voice for Active/Stopping), read by the output thread; the
    // output thread turns Stopping into Idle once the fade-out is over.
    std::atomic<int> state{Idle};
    std::atomic<bool> pauseRequested{false};
    // Set by the producer after its last push; cleared by control on seek.
    std::atomic<bool> producerDone{false};
    // Written by the output thread.
    std::atomic<uint64_t> renderedFrames{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> silent{true};

private:
    // Who holds the consumer side and the fade state at the moment.
    enum Owner : int { Free, Output, Control };

    size_t rampLimit(size_t wanted) const;
    void decayHold(float* out, size_t frames);
    void holdLastFrame();
    // Output thread, holding the voice: true while a start or a seek still waits for its data.
    bool stillPriming();
    // Output thread, holding the voice: the ring gave nothing.
    void runDry(int current);
    // Output thread, holding the voice: the fade-out is over.
    void fallSilent(int current);
    // Adds `frames` frames of `in` to `out` under the gain ramp towards full or no level.
    void mixFrames(const StereoFrame* in, size_t frames, float* out, bool audible);
    // Marks the end once the producer is done and the ring is empty.
    void noteEnd();

    std::atomic<int> owner{Free};
    bool ringReady = false;
    size_t primeFrames = 0;
    bool primed = false;

    // Fade state, touched by whoever holds the voice.
    float gain = 1.0f;
    float gainStep = 1.0f / 240;
    int fadeFrames = 240;
    float lastLeft = 0.0f;
    float lastRight = 0.0f;
    float holdLeft = 0.0f;
    float holdRight = 0.0f;
    int holdRemaining = 0;
    bool declickPending = false;
};
