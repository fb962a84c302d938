#include "ExactSignal.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <sndfile.h>

std::vector<float> ExactSignal::write(const std::string& path, int rate,
                                      const std::vector<short>& values)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return {};
    const auto frames = static_cast<sf_count_t>(values.size() / 2);
    const bool written = sf_writef_short(file, values.data(), frames) == frames;
    if (sf_close(file) != 0 || !written)
        return {};
    std::vector<float> samples(values.size());
    std::transform(values.begin(), values.end(), samples.begin(),
                   [](short value) { return static_cast<float>(value) / 32768.0f; });
    return samples;
}

std::vector<float> ExactSignal::writeNoise(const std::string& path, int rate, double seconds,
                                           unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(-11000, 11000);
    std::vector<short> values(static_cast<size_t>(std::llround(seconds * rate)) * 2);
    for (short& v : values)
        v = static_cast<short>(value(random));
    return write(path, rate, values);
}

std::vector<float> ExactSignal::writeSweep(const std::string& path, int rate, double seconds,
                                           double fromHz, double toHz)
{
    const auto frames = static_cast<size_t>(std::llround(seconds * rate));
    std::vector<short> values(frames * 2);
    double phase = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        const double hz = fromHz + (toHz - fromHz) * static_cast<double>(i) / frames;
        const auto v = static_cast<short>(std::lround(0.5 * 32767.0 * std::sin(phase)));
        values[2 * i] = values[2 * i + 1] = v;
        phase = std::fmod(phase + 2.0 * std::numbers::pi * hz / rate, 2.0 * std::numbers::pi);
    }
    return write(path, rate, values);
}
