// What a recording of the sink's monitor holds, as mono samples in [-1, 1], and the measurements
// the output tests make on it: level, pitch, where the sound is and where it is not. Times are
// seconds from the start of the recording.
//
// Threads: any, one capture per thread.
#pragma once

#include <string>
#include <vector>

class SoundCapture
{
public:
    struct Span {
        double start = 0;
        double end = 0;
        double length() const { return end - start; }
    };

    int rate = 0;
    std::vector<float> samples;

    // Reads the first channel of a 16-bit PCM or 32-bit float WAV file. A data chunk whose size
    // was never filled in (a recorder ended by a signal) runs to the end of the file.
    static SoundCapture readWav(const std::string& path);

    double duration() const;
    // Root mean square level between two times.
    double rms(double from, double to) const;
    // Frequency in Hz between two times from the interpolated upward zero crossings; 0 when there
    // are fewer than three of them.
    double frequency(double from, double to) const;
    // Runs of 5 ms windows whose level reaches `threshold`, in order. A tone with a dropout inside
    // shows as two spans.
    std::vector<Span> loudSpans(double threshold = 0.05) const;
    // Longest run of consecutive samples whose magnitude stays below `level`, in seconds. For a
    // clean sine such a run lasts a fraction of a sample; a gap in the sound lasts much longer.
    double longestQuietRun(double from, double to, double level = 0.01) const;
    // The middle of the first `window` seconds at or after `from` whose frequency lies within
    // `tolerance` (relative) of `hz`; -1 when there is none before `to`.
    double firstHeard(double from, double to, double hz, double tolerance = 0.02,
                      double window = 0.02) const;

private:
    size_t index(double seconds) const;
};
