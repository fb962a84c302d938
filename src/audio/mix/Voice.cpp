#include "Voice.h"

#include <algorithm>
#include <cmath>
#include <thread>

void Voice::prepare(size_t ringFrames, int fade, size_t prime, bool paused)
{
    if (!ringReady || ring.capacity() < ringFrames) {
        ring.reset(ringFrames);
        ringReady = true;
    }
    ring.discardAll();
    fadeFrames = std::max(1, fade);
    gainStep = 1.0f / static_cast<float>(fadeFrames);
    primeFrames = std::min(prime, ringFrames);
    primed = false;
    // A new play starts at full level so the file comes out exactly as it is; a play that starts
    // paused fades in when it is resumed.
    gain = paused ? 0.0f : 1.0f;
    lastLeft = lastRight = 0.0f;
    holdLeft = holdRight = 0.0f;
    holdRemaining = 0;
    declickPending = false;
    pauseRequested.store(paused, std::memory_order_relaxed);
    producerDone.store(false, std::memory_order_relaxed);
    renderedFrames.store(0, std::memory_order_relaxed);
    ended.store(false, std::memory_order_relaxed);
    silent.store(true, std::memory_order_relaxed);
}

void Voice::acquireControl()
{
    for (;;) {
        int expected = Free;
        if (owner.compare_exchange_weak(expected, Control, std::memory_order_acquire))
            return;
        // The output thread holds it for one block at most.
        std::this_thread::yield();
    }
}

void Voice::releaseControl()
{
    // The last frame may have gone out in this very block: say so now, not one block later.
    noteEnd();
    owner.store(Free, std::memory_order_release);
}

void Voice::noteEnd()
{
    if (state.load(std::memory_order_relaxed) == Active && !ended.load(std::memory_order_relaxed) &&
        producerDone.load(std::memory_order_acquire) && ring.readAvailable() == 0)
        ended.store(true, std::memory_order_release);
}

void Voice::flushForSeek()
{
    ring.discardAll();
    renderedFrames.store(0, std::memory_order_release);
    ended.store(false, std::memory_order_release);
    producerDone.store(false, std::memory_order_release);
    declickPending = true;
    primed = false;
}

bool Voice::needsOutput() const
{
    switch (state.load(std::memory_order_acquire)) {
    case Active:
        if (ended.load(std::memory_order_acquire))
            return false;
        return !pauseRequested.load(std::memory_order_acquire) ||
               !silent.load(std::memory_order_acquire);
    case Stopping:
        return !silent.load(std::memory_order_acquire);
    default:
        return false;
    }
}

size_t Voice::rampLimit(size_t wanted) const
{
    // Frames left before a falling gain reaches zero.
    const auto left = static_cast<size_t>(std::ceil(gain / gainStep));
    return std::min(wanted, std::max<size_t>(left, 1));
}

void Voice::decayHold(float* out, size_t frames)
{
    // Lets the last frame heard die away linearly instead of dropping to zero at once.
    for (size_t i = 0; i < frames && holdRemaining > 0; ++i, --holdRemaining) {
        const float t = static_cast<float>(holdRemaining) / static_cast<float>(fadeFrames);
        out[2 * i] += holdLeft * t;
        out[2 * i + 1] += holdRight * t;
    }
}

void Voice::holdLastFrame()
{
    holdLeft = lastLeft;
    holdRight = lastRight;
    holdRemaining = fadeFrames;
}

bool Voice::stillPriming()
{
    if (primed)
        return false;
    if (state.load(std::memory_order_acquire) == Active && ring.readAvailable() < primeFrames &&
        !producerDone.load(std::memory_order_acquire))
        return true;
    primed = true;
    return false;
}

void Voice::fallSilent(int current)
{
    gain = 0.0f;
    lastLeft = lastRight = 0.0f;
    silent.store(true, std::memory_order_release);
    if (current == Stopping)
        state.store(Idle, std::memory_order_release);
}

void Voice::runDry(int current)
{
    if (producerDone.load(std::memory_order_acquire) && ring.readAvailable() == 0) {
        ended.store(true, std::memory_order_release);
    } else {
        // Starved: fade the last frame out, and the data back in when it arrives.
        if (holdRemaining == 0)
            holdLastFrame();
        gain = 0.0f;
    }
    lastLeft = lastRight = 0.0f;
    if (current == Stopping) {
        silent.store(true, std::memory_order_release);
        state.store(Idle, std::memory_order_release);
    }
}

void Voice::mixFrames(const StereoFrame* in, size_t frames, float* out, bool audible)
{
    const float target = audible ? 1.0f : 0.0f;
    for (size_t i = 0; i < frames; ++i) {
        if (gain != target)
            gain = audible ? std::min(1.0f, gain + gainStep) : std::max(0.0f, gain - gainStep);
        float left = in[i].left * gain;
        float right = in[i].right * gain;
        if (holdRemaining > 0) {
            const float t = static_cast<float>(holdRemaining--) / static_cast<float>(fadeFrames);
            left += holdLeft * t;
            right += holdRight * t;
        }
        out[2 * i] += left;
        out[2 * i + 1] += right;
        lastLeft = left;
        lastRight = right;
    }
}

void Voice::mixInto(float* out, size_t frames, StereoFrame* scratch, size_t scratchFrames)
{
    if (state.load(std::memory_order_acquire) == Idle)
        return;
    int expected = Free;
    if (!owner.compare_exchange_strong(expected, Output, std::memory_order_acquire))
        return;
    if (declickPending) {
        // A seek: the last frame heard dies away while the new place fades in.
        holdLastFrame();
        gain = 0.0f;
        declickPending = false;
    }

    size_t done = 0;
    while (done < frames && !stillPriming()) {
        const int current = state.load(std::memory_order_acquire);
        const bool audible = current == Active && !pauseRequested.load(std::memory_order_acquire);
        if (!audible && gain <= 0.0f) {
            fallSilent(current);
            break;
        }
        if (ended.load(std::memory_order_relaxed))
            break;
        silent.store(false, std::memory_order_release);
        size_t wanted = std::min(frames - done, scratchFrames);
        if (!audible)
            wanted = rampLimit(wanted);
        const size_t got = ring.pop(scratch, wanted);
        if (got == 0) {
            runDry(current);
            break;
        }
        mixFrames(scratch, got, out + 2 * done, audible);
        renderedFrames.store(renderedFrames.load(std::memory_order_relaxed) + got,
                             std::memory_order_release);
        done += got;
    }
    decayHold(out + 2 * done, frames - done);
    // The last frame may have gone out in this very block: say so now, not one block later.
    noteEnd();
    owner.store(Free, std::memory_order_release);
}
