#include "OutputController.h"

#include "AudioOutput.h"
#include "Mixer.h"
#include "OutputBackend.h"

#include <algorithm>
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
    // Only with no device thread left (the engine leaks a controller whose thread never ended).
    if (!working)
        runDeviceWork(takeDeviceWork(Clock::now()));
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
    // While a stream drains, the read-ahead thread starts again once it has: the mix then follows
    // what is still being played.
    if (current == State::Idle)
        current = State::Starting;
}

OutputController::Clock::time_point OutputController::update(Clock::time_point now)
{
    if (device && (device->failed() || deviceStalled(now))) {
        const bool live = onDevice();
        dropDevice();
        if (live)
            current = State::Starting;
    }
    // A few steps settle every chain of transitions (a drain that ends into a start, say).
    for (int step = 0; step < 4; ++step) {
        const State before = current;
        switch (current) {
        case State::Idle:
            if (mixWanted())
                current = State::Starting;
            break;
        case State::Starting:
            if (!mixWanted()) {
                tryWanted = false;
                current = State::Idle;
                break;
            }
            if (!tryInFlight && !shutting)
                tryWanted = true;
            // The server is slow to answer: time goes on meanwhile.
            if (working && now >= workSince + StartPatience)
                startClock(now);
            break;
        case State::OnDevice:
            // The stream renders silence for a while before it drains: a next track that takes
            // some time to open (a long file counted, a chained Ogg) then plays on it at once.
            if (mixWanted()) {
                quiet = false;
            } else if (!quiet) {
                quiet = true;
                quietSince = now;
            }
            if (quiet && now >= quietSince + Linger)
                beginDrain();
            break;
        case State::OnClock:
            if (!mixWanted()) {
                stopClock();
                tryWanted = false;
                current = State::Idle;
            } else if (now >= nextTry && !tryInFlight && !tryWanted && !shutting) {
                tryWanted = true;
                nextTry = now + RetryPeriod;
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
    switch (current) {
    case State::Starting:
        return working ? workSince + StartPatience : Clock::time_point::max();
    case State::Draining:
        return now + DrainPoll;
    case State::OnDevice:
        // Looked at again when the stream would count as stalled, or drain.
        return quiet ? std::min(quietSince + Linger, lastRenderSeen + StallTimeout)
                     : lastRenderSeen + StallTimeout;
    case State::OnClock:
        // A try already due waits for the device thread, which says when it is done.
        return nextTry > now ? nextTry : Clock::time_point::max();
    default:
        return Clock::time_point::max();
    }
}

bool OutputController::deviceWorkDue() const
{
    return !working && (!retired.empty() || disconnectWanted || tryWanted);
}

OutputController::DeviceWork OutputController::takeDeviceWork(Clock::time_point now)
{
    DeviceWork work;
    work.retired = std::move(retired);
    retired.clear();
    work.disconnect = std::exchange(disconnectWanted, false);
    if (std::exchange(tryWanted, false) && !shutting)
        work.tryRate = rate();
    tryInFlight = work.tryRate != 0;
    working = true;
    workSince = now;
    return work;
}

std::unique_ptr<AudioOutput> OutputController::runDeviceWork(DeviceWork work)
{
    // Given up before anything else is opened, so the next stream is the only one.
    for (std::unique_ptr<AudioOutput>& output : work.retired) {
        output->stop();
        output.reset();
    }
    if (work.disconnect)
        backend->disconnect();
    if (work.tryRate == 0)
        return nullptr;
    std::unique_ptr<AudioOutput> opened = backend->openDevice(mixer, work.tryRate);
    if (opened && !opened->start()) {
        // The server is there but refuses, or went away between the two: connect afresh next.
        opened->stop();
        opened.reset();
        backend->disconnect();
    }
    return opened;
}

void OutputController::deviceWorkDone(std::unique_ptr<AudioOutput> opened, int openedRate,
                                      Clock::time_point now)
{
    working = false;
    if (!std::exchange(tryInFlight, false)) {
        retire(std::move(opened));
        return;
    }
    const bool wanted = !shutting && openedRate == rate() && mixWanted() &&
                        (current == State::Starting || current == State::OnClock);
    if (opened && wanted) {
        // The clock hands over to the stream, which renders the mix from here on.
        stopClock();
        device = std::move(opened);
        deviceRate = openedRate;
        device->admit();
        current = State::OnDevice;
        quiet = false;
        lastRenderCalls = device->renderCalls();
        lastRenderSeen = now;
        return;
    }
    if (opened) {
        // Asked for in vain (the rate changed, or the mix went quiet): closed again.
        retire(std::move(opened));
        return;
    }
    // No stream: time is kept on the clock, which may be running already, and the device is
    // tried again a RetryPeriod from now.
    if (current == State::Starting) {
        if (mixWanted())
            startClock(now);
        else
            current = State::Idle;
    } else if (current == State::OnClock) {
        nextTry = now + RetryPeriod;
    }
}

void OutputController::shutDown()
{
    stopClock();
    clock.reset();
    if (device)
        retire(std::move(device));
    disconnectWanted = true;
    tryWanted = false;
    shutting = true;
    current = State::Idle;
}

void OutputController::beginDrain()
{
    quiet = false;
    device->finish();
    // Timed by the read-ahead thread, which knows the time.
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
    disconnectWanted = true;
}

void OutputController::retire(std::unique_ptr<AudioOutput> output)
{
    if (!output)
        return;
    // It renders none of the mix from here on, so the next output may.
    output->finish();
    retired.push_back(std::move(output));
}
