#include "OutputController.h"

#include "AudioOutput.h"
#include "Mixer.h"
#include "OutputBackend.h"

#include <utility>

namespace
{
// The rate asked for before any device has said its own.
constexpr int FallbackRate = 48000;
} // namespace

OutputController::OutputController(Mixer& target, std::unique_ptr<OutputBackend> outputs)
    : mixer(target), backend(std::move(outputs))
{
}

OutputController::~OutputController()
{
    shutDown();
}

int OutputController::rate() const
{
    return mixer.outputRate();
}

int OutputController::preferredRate() const
{
    const int own = backend->preferredRate();
    return own > 0 ? own : FallbackRate;
}

bool OutputController::mixWanted() const
{
    return mixer.needsOutput();
}

void OutputController::setRate(int newRate)
{
    if (newRate == mixer.outputRate())
        return;
    // A clock paces itself by the rate it was made for.
    stopClock();
    clock.reset();
    if (current == State::OnClock)
        current = State::Idle;
    // The stream at the old rate renders no more of the mix, and plays out what it holds.
    if (current == State::OnDevice)
        beginDrain();
    mixer.setOutputRate(newRate);
}

void OutputController::wantAudio()
{
    // While a stream drains, the engine's thread starts again once it has: the mix then follows
    // what is still being played.
    if (current == State::Idle)
        current = State::Starting;
}

OutputController::Clock::time_point OutputController::update(Clock::time_point now)
{
    tryDue = false;
    if (device && (device->failed() || deviceStalled(now))) {
        const bool live = onDevice();
        dropDevice();
        if (live)
            current = State::Starting;
    }
    // A few steps settle every chain of transitions (a drain that ends into a start, say).
    for (int step = 0; step < 4 && !tryDue; ++step) {
        const State before = current;
        switch (current) {
        case State::Idle:
            if (mixWanted())
                current = State::Starting;
            break;
        case State::Starting:
            if (!mixWanted()) {
                current = State::Idle;
                break;
            }
            tryDue = true;
            break;
        case State::OnDevice:
            if (!mixWanted())
                beginDrain();
            break;
        case State::OnClock:
            if (!mixWanted()) {
                stopClock();
                current = State::Idle;
            } else if (now >= nextTry) {
                tryDue = true;
            }
            break;
        case State::Draining:
            if (!drainTimed) {
                drainStart = now;
                drainTimed = true;
            }
            if (!device->finished() && now < drainStart + DrainTimeout)
                break;
            retire(std::move(device));
            current = mixWanted() ? State::Starting : State::Idle;
            break;
        }
        if (current == before)
            break;
    }
    if (tryDue)
        nextTry = now + RetryPeriod;
    switch (current) {
    case State::Draining:
        return now + DrainPoll;
    case State::OnDevice:
        // Looked at again when the stream would count as stalled.
        return lastRenderSeen + StallTimeout;
    case State::OnClock:
        return nextTry;
    default:
        return Clock::time_point::max();
    }
}

std::unique_ptr<AudioOutput> OutputController::openDevice(int wantedRate)
{
    return backend->openDevice(mixer, wantedRate);
}

void OutputController::deviceOpened(std::unique_ptr<AudioOutput> opened, int openedRate,
                                    Clock::time_point now)
{
    const bool wanted = openedRate == rate() && mixWanted() &&
                        (current == State::Starting || current == State::OnClock);
    // Asked for in vain (the rate changed, or the mix went quiet): closed again.
    if (!wanted) {
        retire(std::move(opened));
        return;
    }
    if (opened) {
        device = std::move(opened);
        deviceRate = openedRate;
        if (current == State::OnClock)
            stopClock();
        if (device->start()) {
            current = State::OnDevice;
            lastRenderCalls = device->renderCalls();
            lastRenderSeen = now;
            return;
        }
        dropDevice();
    }
    if (current == State::OnClock)
        nextTry = now + RetryPeriod;
    else
        startClock(now);
}

OutputController::Retired OutputController::takeRetired()
{
    return std::exchange(retired, Retired{});
}

void OutputController::closeRetired(Retired outputs)
{
    for (std::unique_ptr<AudioOutput>& output : outputs.outputs) {
        output->stop();
        output.reset();
    }
    if (outputs.disconnect)
        backend->disconnect();
}

void OutputController::shutDown()
{
    stopClock();
    clock.reset();
    if (device)
        retire(std::move(device));
    retired.disconnect = true;
    closeRetired(takeRetired());
    current = State::Idle;
}

void OutputController::beginDrain()
{
    device->finish();
    // Timed by the engine's thread, which knows the time.
    drainTimed = false;
    current = State::Draining;
}

void OutputController::startClock(Clock::time_point now)
{
    if (!clock || clockRate != rate()) {
        clock = backend->openClock(mixer);
        clockRate = rate();
    }
    clock->start();
    current = State::OnClock;
    nextTry = now + RetryPeriod;
}

void OutputController::stopClock()
{
    if (clock)
        clock->stop();
}

bool OutputController::deviceStalled(Clock::time_point now)
{
    if (current != State::OnDevice)
        return false;
    const uint64_t calls = device->renderCalls();
    if (calls != lastRenderCalls) {
        lastRenderCalls = calls;
        lastRenderSeen = now;
        return false;
    }
    return now - lastRenderSeen >= StallTimeout;
}

void OutputController::dropDevice()
{
    retire(std::move(device));
    deviceRate = 0;
    retired.disconnect = true;
}

void OutputController::retire(std::unique_ptr<AudioOutput> output)
{
    if (!output)
        return;
    // It renders none of the mix from here on, so the next output may.
    output->finish();
    retired.outputs.push_back(std::move(output));
}
