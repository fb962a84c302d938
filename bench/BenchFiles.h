// The long files the benchmarks measure, written into their folder with the time and size each
// took.
//
// Threads: the calling thread only.
#pragma once

#include "AudioFixtures.h"

#include <string>

class BenchFiles
{
public:
    // A 44.1 kHz stereo tone of `minutes` (AudioFixtures::writeTone).
    static bool writeTone(const std::string& path, AudioFixtures::Format format, int minutes);
    // A tone compresses to a few dozen kbit/s; filtered noise encodes like real music (LAME VBR,
    // around 200 kbit/s) and decodes several times slower, so it is what a far seek, a frame scan
    // or a realistic decode has to go through.
    static bool writeNoiseMp3(const std::string& path, int minutes);
    // A 44.1 kHz stereo tone of `minutes` (a multiple of 2) at a constant 128 kbit/s without an
    // Info header, as podcasts often are: two minutes encoded once and repeated, which decodes as
    // one stream since LAME starts each encoding with an empty bit reservoir.
    static bool writeLongConstantBitrateMp3(const std::string& path, int minutes);
};
