#include "Mixer.h"

#include <algorithm>

Mixer::Mixer(int voiceCount, int outputRate)
    : count(voiceCount), rate(outputRate), fade(std::max(1, outputRate / 200)),
      voices(std::make_unique<Voice[]>(static_cast<size_t>(voiceCount))),
      scratch(std::make_unique<StereoFrame[]>(ScratchFrames))
{
}

void Mixer::render(float* out, size_t frames)
{
    std::fill(out, out + frames * 2, 0.0f);
    for (int i = 0; i < count; ++i)
        voices[static_cast<size_t>(i)].mixInto(out, frames, scratch.get(), ScratchFrames);
}

void Mixer::setOutputRate(int outputRate)
{
    rate = outputRate;
    fade = std::max(1, outputRate / 200);
}

bool Mixer::needsOutput() const
{
    for (int i = 0; i < count; ++i) {
        if (voices[static_cast<size_t>(i)].needsOutput())
            return true;
    }
    return false;
}
