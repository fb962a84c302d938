// CubebBackend: the engine's outputs: streams to the default device through one cubeb context,
// connected when the first stream is wanted, and the silent clock.
//
// Threads: as OutputBackend says: the connection is touched by the engine's device thread only.
#pragma once

#include "OutputBackend.h"

#include <atomic>

struct cubeb;

class CubebBackend : public OutputBackend
{
public:
    explicit CubebBackend(int latencyMs);
    ~CubebBackend() override;
    CubebBackend(const CubebBackend&) = delete;
    CubebBackend& operator=(const CubebBackend&) = delete;

    std::unique_ptr<AudioOutput> openDevice(Mixer& mixer, int rate) override;
    void disconnect() override;
    std::unique_ptr<AudioOutput> openClock(Mixer& mixer) override;
    int preferredRate() const override { return preferred.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<AudioOutput> openOnConnection(Mixer& mixer, int rate);

    const int latencyMs;
    cubeb* context = nullptr;
    std::atomic<int> preferred{0};
};
