#include "CubebOutput.h"

#include "CubebLibrary.h"
#include "Mixer.h"

#include <algorithm>

// cubeb's callbacks, with the exact signatures cubeb expects.
struct CubebCallbacks {
    static long data(cubeb_stream*, void* user, const void*, void* output, long frames)
    {
        auto* self = static_cast<CubebOutput*>(user);
        self->calls.fetch_add(1, std::memory_order_relaxed);
        if (frames <= 0)
            return 0;
        auto* out = static_cast<float*>(output);
        if (self->finishing.load(std::memory_order_acquire)) {
            // A little silence first, to push the end of the mix through whatever the sound
            // server holds back until more comes (PipeWire's resampler keeps a few milliseconds);
            // then fewer frames than asked for: cubeb plays out what the stream holds and says so.
            const long padding = std::min<long>(frames, self->paddingLeft);
            std::fill(out, out + 2 * padding, 0.0f);
            self->paddingLeft -= padding;
            return padding;
        }
        if (self->gate.enter()) {
            self->mixer.render(out, static_cast<size_t>(frames));
            self->gate.leave();
        } else {
            std::fill(out, out + 2 * frames, 0.0f);
        }
        return frames;
    }

    static void state(cubeb_stream*, void* user, cubeb_state state)
    {
        auto* self = static_cast<CubebOutput*>(user);
        if (state == CUBEB_STATE_DRAINED)
            self->drained.store(true, std::memory_order_release);
        else if (state == CUBEB_STATE_ERROR)
            self->error.store(true, std::memory_order_release);
    }
};

CubebOutput::CubebOutput(const CubebLibrary& cubebLibrary, Mixer& target)
    : library(cubebLibrary), mixer(target)
{
}

std::unique_ptr<CubebOutput> CubebOutput::open(const CubebLibrary& library, cubeb* context,
                                               Mixer& mixer, int rate, int latencyMs)
{
    if (!context)
        return nullptr;
    std::unique_ptr<CubebOutput> output(new CubebOutput(library, mixer));
    cubeb_stream_params params{};
    params.format = CUBEB_SAMPLE_FLOAT32NE;
    params.rate = static_cast<uint32_t>(rate);
    params.channels = 2;
    params.layout = CUBEB_LAYOUT_STEREO;
    params.prefs = CUBEB_STREAM_PREF_NONE;
    // The backend raises this to what the device can do; asking it first would cost an extra
    // round trip on every attempt.
    const uint32_t latency = params.rate * static_cast<uint32_t>(latencyMs) / 1000;
    output->heldAtMost = std::chrono::milliseconds(latencyMs + PaddingMs + DrainMarginMs);
    output->paddingFrames = params.rate * static_cast<uint32_t>(PaddingMs) / 1000;
    const int result =
        library.streamInit(context, &output->stream, "Brisnak", nullptr, nullptr, nullptr, &params,
                           latency, &CubebCallbacks::data, &CubebCallbacks::state, output.get());
    if (result != CUBEB_OK || !output->stream)
        return nullptr;
    return output;
}

CubebOutput::~CubebOutput()
{
    if (stream) {
        if (started)
            library.streamStop(stream);
        library.streamDestroy(stream);
    }
}

bool CubebOutput::start()
{
    if (error.load(std::memory_order_acquire))
        return false;
    if (started)
        return true;
    finishing.store(false, std::memory_order_release);
    drained.store(false, std::memory_order_release);
    paddingLeft = paddingFrames;
    if (library.streamStart(stream) != CUBEB_OK)
        return false;
    started = true;
    return true;
}

void CubebOutput::stop()
{
    if (started) {
        library.streamStop(stream);
        started = false;
    }
}

void CubebOutput::finish()
{
    finishedAt = std::chrono::steady_clock::now();
    finishing.store(true, std::memory_order_release);
    // A render that began before the flag was seen ends before this returns.
    gate.close();
    if (!started)
        drained.store(true, std::memory_order_release);
}

bool CubebOutput::finished() const
{
    // cubeb times its drain by the latency libpulse reports, which reads 0 for long stretches (a
    // second or more after a start): it can say drained while the server still holds all it was
    // given. Stopped then, the stream would keep that silence and play it in front of the next
    // sound. No stream holds more than was asked for, the silence after it and a margin.
    return drained.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() >= finishedAt + heldAtMost;
}
