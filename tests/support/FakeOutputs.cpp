#include "FakeOutputs.h"

#include "ClockOutput.h"
#include "Mixer.h"

#include <algorithm>

void Hold::close()
{
    std::lock_guard lock(mutex);
    closed = true;
}

void Hold::open()
{
    {
        std::lock_guard lock(mutex);
        closed = false;
    }
    opened.notify_all();
}

void Hold::pass()
{
    std::unique_lock lock(mutex);
    ++waiters;
    opened.wait(lock, [this] { return !closed; });
    --waiters;
}

int Hold::waiting() const
{
    std::lock_guard lock(mutex);
    return waiters;
}

namespace
{

class FakeOutput : public AudioOutput
{
public:
    // With `mixer`, a device renders it in real time once admitted (through a clock made then,
    // holding the engine's mutex, for the mixer's rate at the time).
    FakeOutput(std::shared_ptr<OutputLog> log, FakeBackend* backend, Mixer* mixer)
        : log(std::move(log)), backend(backend), mixer(mixer)
    {
    }
    ~FakeOutput() override
    {
        renderer.reset();
        log->destroyed = true;
    }

    bool start() override
    {
        if (backend)
            backend->startHold.pass();
        if (log->refuseStart || log->failed)
            return false;
        log->started = true;
        log->finishing = false;
        ++log->starts;
        // The clock renders the mix from its start; a device once handed in.
        if (!backend)
            admit();
        return true;
    }
    void admit() override
    {
        log->admitted = true;
        if (mixer) {
            renderer = std::make_unique<ClockOutput>(*mixer);
            renderer->start();
        }
    }
    void stop() override
    {
        if (backend)
            backend->stopHold.pass();
        if (renderer)
            renderer->stop();
        if (log->started)
            ++log->stops;
        log->started = false;
    }
    bool failed() const override { return log->failed; }
    void finish() override
    {
        if (renderer)
            renderer->stop();
        log->finishing = true;
    }
    bool finished() const override { return log->finishing && log->playedOut; }
    // A running output has asked for audio since it was last looked at, unless it stalled.
    uint64_t renderCalls() const override
    {
        if (log->started && !log->stalled)
            ++log->renderCalls;
        return log->renderCalls;
    }

private:
    std::shared_ptr<OutputLog> log;
    FakeBackend* backend; // null for a clock
    Mixer* mixer;
    std::unique_ptr<ClockOutput> renderer;
};

} // namespace

std::unique_ptr<AudioOutput> FakeBackend::openDevice(Mixer& mixer, int rate)
{
    openHold.pass();
    ++tries;
    if (!deviceAvailable)
        return nullptr;
    auto log = std::make_shared<OutputLog>();
    log->rate = rate;
    log->playedOut = playedOut.load();
    log->refuseStart = refuseStart.load();
    {
        std::lock_guard lock(mutex);
        devices.push_back(log);
    }
    return std::make_unique<FakeOutput>(log, this, realTime ? &mixer : nullptr);
}

void FakeBackend::disconnect()
{
    ++disconnects;
}

std::unique_ptr<AudioOutput> FakeBackend::openClock(Mixer& mixer)
{
    if (realTime)
        return std::make_unique<ClockOutput>(mixer);
    auto log = std::make_shared<OutputLog>();
    log->isClock = true;
    log->rate = mixer.outputRate();
    {
        std::lock_guard lock(mutex);
        clocks.push_back(log);
    }
    return std::make_unique<FakeOutput>(log, nullptr, nullptr);
}

std::shared_ptr<OutputLog> FakeBackend::lastDevice() const
{
    std::lock_guard lock(mutex);
    return devices.empty() ? nullptr : devices.back();
}

std::shared_ptr<OutputLog> FakeBackend::lastClock() const
{
    std::lock_guard lock(mutex);
    return clocks.empty() ? nullptr : clocks.back();
}

int FakeBackend::deviceCount() const
{
    std::lock_guard lock(mutex);
    return static_cast<int>(devices.size());
}

int FakeBackend::openDevices() const
{
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count_if(devices.begin(), devices.end(),
                                          [](const auto& log) { return !log->destroyed; }));
}
