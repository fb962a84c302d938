#include "SteppedTone.h"

#include <cmath>
#include <numbers>
#include <sndfile.h>
#include <vector>

bool SteppedTone::writeWav(const std::string& path) const
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<float> frames(static_cast<size_t>(sampleRate) * 2);
    double phase = 0.0;
    bool ok = true;
    for (int second = 0; second < seconds && ok; ++second) {
        const double step = 2.0 * std::numbers::pi * frequencyOf(second) / sampleRate;
        for (int i = 0; i < sampleRate; ++i) {
            const float value = static_cast<float>(amplitude * std::sin(phase));
            frames[static_cast<size_t>(i) * 2] = value;
            frames[static_cast<size_t>(i) * 2 + 1] = value;
            phase = std::fmod(phase + step, 2.0 * std::numbers::pi);
        }
        ok = sf_writef_float(file, frames.data(), sampleRate) == sampleRate;
    }
    return sf_close(file) == 0 && ok;
}
