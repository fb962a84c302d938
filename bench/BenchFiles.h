// Every file the benchmarks play, written by name into their folder the first time it is asked
// for and kept for the next run:
//
//     tone-<M>min.mp3|ogg|flac   a 440 Hz sine of M minutes, 44.1 kHz stereo (AudioFixtures);
//                                MP3 is LAME VBR with a Xing header
//     tone-<M>min-noxing.mp3     the same without a Xing header (its frames counted at open)
//     tone-<M>min-cut.flac       the FLAC file cut to 60 %: it announces more than it holds
//     noise-<M>min.mp3|ogg       filtered noise, which encodes like music (LAME VBR about
//                                200 kbit/s) and decodes several times slower than a tone
//     noise-<M>min-noxing.mp3    the noise MP3 without its Xing frame
//     cbr-<M>min.mp3             M minutes (even) at a constant 128 kbit/s without an Info
//                                header, as podcasts often are
//     pitch-<HZ>-<RATE>.mp3      two minutes of a sine of HZ at RATE
//     steps.mp3                  steps(): a sine whose pitch tells which second plays
//
// Threads: the calling thread only.
#pragma once

#include "SteppedTone.h"

#include <string>

class BenchFiles
{
public:
    // The path of `name` in `dir`, written first when it is not there (progress on stderr);
    // empty when the name is unknown or the file cannot be written.
    static std::string ensure(const std::string& dir, const std::string& name);
    // The tone of steps.mp3: 40 seconds at 44.1 kHz, its pitch stepping up once a second.
    static SteppedTone steps();
};
