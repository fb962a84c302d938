// Resampler: stereo float sample-rate conversion with libsoxr.
//
// Threads: used by one control thread at a time, holding the engine's mutex: created by playSound
// on the GUI thread, then run by the read-ahead thread (or the test's thread in offline mode).
// Never on the output thread.
#pragma once

#include "StereoFrame.h"

#include <cstddef>
#include <functional>
#include <memory>

struct soxr;

class Resampler
{
public:
    // Makes the engine's resamplers: make() below, or in a test one that libsoxr refuses.
    using Factory = std::function<std::unique_ptr<Resampler>(int inputRate, int outputRate)>;
    // A resampler from libsoxr at its high quality; valid() says whether libsoxr took the rates.
    static std::unique_ptr<Resampler> make(int inputRate, int outputRate);

    Resampler(double inputRate, double outputRate);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    bool valid() const { return handle != nullptr; }

    // Converts up to `inputFrames` stereo frames into at most `outputCapacity` frames of `output`.
    // Sets `inputUsed` to the frames taken and returns the frames written.
    size_t process(const StereoFrame* input, size_t inputFrames, size_t& inputUsed,
                   StereoFrame* output, size_t outputCapacity);
    // After the last input: writes what the filter still holds; 0 once it is empty.
    size_t drain(StereoFrame* output, size_t outputCapacity);
    // Forgets all history, as after a seek.
    void reset();

private:
    soxr* handle = nullptr;
};
