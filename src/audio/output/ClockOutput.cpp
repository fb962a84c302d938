#include "ClockOutput.h"

#include "Mixer.h"

#include <algorithm>
#include <chrono>
#include <pthread.h>

ClockOutput::ClockOutput(Mixer& target)
    : mixer(target), blockFrames(static_cast<size_t>(std::max(1, target.outputRate() / 100))),
      buffer(std::make_unique<float[]>(blockFrames * 2))
{
}

ClockOutput::~ClockOutput()
{
    {
        std::lock_guard lock(mutex);
        quit = true;
        running = false;
    }
    changed.notify_all();
    if (thread.joinable())
        thread.join();
}

bool ClockOutput::start()
{
    std::lock_guard lock(mutex);
    running = true;
    if (!thread.joinable())
        thread = std::thread([this] { run(); });
    changed.notify_all();
    return true;
}

void ClockOutput::stop()
{
    std::unique_lock lock(mutex);
    running = false;
    changed.notify_all();
    changed.wait(lock, [this] { return !rendering; });
}

void ClockOutput::run()
{
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(blockFrames) / mixer.outputRate()));
    pthread_setname_np(pthread_self(), "brisnak-clock");
    std::unique_lock lock(mutex);
    while (!quit) {
        changed.wait(lock, [this] { return running || quit; });
        auto next = Clock::now();
        while (running && !quit) {
            rendering = true;
            lock.unlock();
            mixer.render(buffer.get(), blockFrames);
            calls.fetch_add(1, std::memory_order_relaxed);
            lock.lock();
            rendering = false;
            changed.notify_all();
            next += period;
            const auto now = Clock::now();
            // After a long stall (a suspended machine) keep pace from now instead of catching up.
            if (next < now - 20 * period)
                next = now;
            changed.wait_until(lock, next, [this] { return !running || quit; });
        }
    }
}
