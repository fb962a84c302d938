// 16-bit stereo WAV files whose every sample the test knows, as the player decodes them (the
// 16-bit value over 32768, exact in float): noise, whose every stretch of a few hundred frames
// stands once in the file, and a sweep, a smooth sine rising in pitch whose stretches are unique
// too. A recording can then be held against the file sample for sample.
//
// Threads: any.
#pragma once

#include <string>
#include <vector>

class ExactSignal
{
public:
    // Writes `seconds` of noise at `rate` (level about a third of full scale), a different
    // noise for each seed. Returns the samples, interleaved stereo; empty when it cannot write.
    static std::vector<float> writeNoise(const std::string& path, int rate, double seconds,
                                         unsigned seed);
    // Writes a sine of amplitude 0.5 rising from `fromHz` to `toHz`, the same on both sides.
    static std::vector<float> writeSweep(const std::string& path, int rate, double seconds,
                                         double fromHz, double toHz);

private:
    static std::vector<float> write(const std::string& path, int rate,
                                    const std::vector<short>& values);
};
