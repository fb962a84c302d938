#include "OutputController.h"

#include "AudioOutput.h"
#include "Mixer.h"
#include "OutputBackend.h"

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
    if (device)
        device->setMuted(true);
    if (current == State::OnDevice) {
        // Timed by the engine's thread, which may ask the device how much it still holds.
        current = State::Draining;
        drainTimed = false;
    }
    mixer.setOutputRate(newRate);
}

void OutputController::wantAudio()
{
    switch (current) {
    case State::Idle:
        current = State::Starting;
        break;
    case State::Draining:
        // Back to the mix before the stream stops: what was drained so far was silence.
        if (device && deviceRate == rate()) {
            device->setMuted(false);
            current = State::OnDevice;
        }
        break;
    case State::Starting:
    case State::OnDevice:
    case State::OnClock:
        break;
    }
}

OutputController::Clock::time_point OutputController::update(Clock::time_point now)
{
    tryDue = false;
    if (device && device->failed()) {
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
                beginDrain(now);
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
            if (!drainTimed)
                beginDrain(now);
            if (now < drainEnd)
                break;
            device->stop();
            device.reset();
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
        return drainEnd;
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
    if (!wanted)
        return;
    if (opened) {
        device = std::move(opened);
        deviceRate = openedRate;
        if (current == State::OnClock)
            stopClock();
        if (startDevice()) {
            current = State::OnDevice;
            return;
        }
        dropDevice();
    }
    if (current == State::OnClock)
        nextTry = now + RetryPeriod;
    else
        startClock(now);
}

void OutputController::shutDown()
{
    stopClock();
    clock.reset();
    if (device)
        device->stop();
    device.reset();
    backend->disconnect();
    current = State::Idle;
}

void OutputController::beginDrain(Clock::time_point now)
{
    device->setMuted(true);
    const int64_t queued = device->queuedFrames();
    drainEnd = now +
               std::chrono::duration_cast<Clock::duration>(
                   std::chrono::duration<double>(static_cast<double>(queued) / deviceRate)) +
               DrainMargin;
    drainTimed = true;
    current = State::Draining;
}

bool OutputController::startDevice()
{
    device->setMuted(false);
    if (device->start())
        return true;
    device->setMuted(true);
    return false;
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

void OutputController::dropDevice()
{
    device.reset();
    deviceRate = 0;
    backend->disconnect();
}
