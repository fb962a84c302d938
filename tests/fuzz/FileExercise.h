// Runs arbitrary bytes through the engine as if they were an audio file: the decoder alone (open,
// decode, seek, decode again), then the whole engine in offline mode (open, play, render the mix,
// pause, seek inside and past the end, stop). Shared by the fuzzing targets and by the test that
// replays every input the fuzzer ever found and every kind of bad input we know of.
//
// The decoder pass costs about a third of the whole: the engine pass spends most of its time in
// libsoxr. DecoderOnly stops after the decoder pass, so a long run reaches about three times as
// many inputs of the decoders, where the damage in a file is met.
//
// Threads: the calling thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class FileExercise
{
public:
    struct Outcome {
        bool opened = false;
        int sampleRate = 0;
        int channels = 0;
        int64_t lengthFrames = 0;
        // The position reached by reading from the start, before any seek (bounded, see the
        // .cpp).
        int64_t framesRead = 0;
    };

    enum Depth { WholeEngine, DecoderOnly };

    // Writes `data` to an anonymous in-memory file and runs it through the engine. Aborts (so the
    // fuzzer reports it) when the engine breaks one of its own promises.
    static Outcome run(const uint8_t* data, size_t size, Depth depth = WholeEngine);
    // The same for a file on disk, read where it is.
    static Outcome runFile(const std::string& path);
};
