#include "CubebBackend.h"

#include "ClockOutput.h"
#include "CubebLibrary.h"
#include "CubebOutput.h"

CubebBackend::CubebBackend(int latency) : latencyMs(latency) {}

CubebBackend::~CubebBackend()
{
    disconnect();
}

std::unique_ptr<AudioOutput> CubebBackend::openDevice(Mixer& mixer, int rate)
{
    // A connection made earlier may be to a server that has gone away (or restarted) since: when
    // it cannot open a stream, a fresh connection is tried at once.
    const bool reused = context != nullptr;
    std::unique_ptr<AudioOutput> output = openOnConnection(mixer, rate);
    if (!output && reused)
        output = openOnConnection(mixer, rate);
    return output;
}

std::unique_ptr<AudioOutput> CubebBackend::openOnConnection(Mixer& mixer, int rate)
{
    const CubebLibrary* library = CubebLibrary::get();
    if (!library)
        return nullptr;
    if (!context) {
        if (library->init(&context, "Brisnak", nullptr) != CUBEB_OK) {
            context = nullptr;
            return nullptr;
        }
        uint32_t own = 0;
        if (library->getPreferredSampleRate(context, &own) == CUBEB_OK && own >= 8000 &&
            own <= 384000)
            preferred.store(static_cast<int>(own), std::memory_order_relaxed);
    }
    std::unique_ptr<AudioOutput> output =
        CubebOutput::open(*library, context, mixer, rate, latencyMs);
    // When no server answers, cubeb_init falls back to another backend, which cannot open a
    // stream either, and would never reach a server that starts later: connect afresh next time.
    if (!output)
        disconnect();
    return output;
}

void CubebBackend::disconnect()
{
    if (context)
        CubebLibrary::get()->destroy(context);
    context = nullptr;
}

std::unique_ptr<AudioOutput> CubebBackend::openClock(Mixer& mixer)
{
    return std::make_unique<ClockOutput>(mixer);
}
