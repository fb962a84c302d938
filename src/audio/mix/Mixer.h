// Mixer: the engine's voices and the realtime render that sums them into stereo.
//
// Threads: render() runs on the output thread (cubeb's callback, the silent clock thread, or the
// test's thread in offline mode) and never allocates, locks, blocks, does I/O or logs. The
// constructor and setOutputRate() run on a control thread while no output renders; voice() and
// needsOutput() are for control threads.
#pragma once

#include "Voice.h"

#include <cstddef>
#include <memory>

class Mixer
{
public:
    Mixer(int voiceCount, int outputRate);
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // Writes `frames` interleaved stereo frames into `out`.
    void render(float* out, size_t frames);

    int voiceCount() const { return count; }
    Voice& voice(int index) { return voices[static_cast<size_t>(index)]; }
    int outputRate() const { return rate; }
    // Changes the rate the mix is rendered at. Only while no output runs and no voice is live:
    // the voices take the new fade length at their next prepare().
    void setOutputRate(int outputRate);
    // Frames of every fade (about 5 ms).
    int fadeFrames() const { return fade; }
    // True while some voice plays or still has a fade to finish.
    bool needsOutput() const;

private:
    static constexpr size_t ScratchFrames = 1024;

    const int count;
    int rate;
    int fade;
    std::unique_ptr<Voice[]> voices;
    std::unique_ptr<StereoFrame[]> scratch;
};
