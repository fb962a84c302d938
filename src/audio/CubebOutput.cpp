#include "CubebOutput.h"

#include "CubebLibrary.h"
#include "Mixer.h"

#include <algorithm>

// cubeb's callbacks, with the exact signatures cubeb expects.
struct CubebCallbacks {
    static long data(cubeb_stream*, void* user, const void*, void* output, long frames)
    {
        auto* self = static_cast<CubebOutput*>(user);
        if (frames <= 0)
            return frames;
        auto* out = static_cast<float*>(output);
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
        if (state == CUBEB_STATE_ERROR)
            static_cast<CubebOutput*>(user)->error.store(true, std::memory_order_release);
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
    output->bufferFrames = latency;
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
    if (!started) {
        if (library.streamStart(stream) != CUBEB_OK)
            return false;
        started = true;
    }
    return true;
}

void CubebOutput::stop()
{
    if (started) {
        library.streamStop(stream);
        started = false;
    }
}

void CubebOutput::setMuted(bool muted)
{
    gate.setClosed(muted);
}

int64_t CubebOutput::queuedFrames()
{
    if (!started)
        return 0;
    // PulseAudio's interpolated latency reads 0 for long stretches (a second or more after a start,
    // while a recorder listens to the sink): the buffering asked for is the floor.
    uint32_t frames = 0;
    if (library.streamGetLatency(stream, &frames) != CUBEB_OK)
        frames = 0;
    return std::max<int64_t>(frames, bufferFrames);
}
