// Where a track stands in a float recording of the sink, compared sample for sample: where it
// starts, how much of its start the recording lacks, how much of it is there exactly, and whether
// anything follows its end. Recordings and tracks are interleaved stereo at one rate.
//
// Threads: any.
#pragma once

#include <QString>
#include <cstddef>
#include <vector>

class TrackMatch
{
public:
    // Looks for `track` in `recording` from frame `from` on. The first frame that is not silence
    // must be one of the track's first `maxHidden` + 1 frames.
    static TrackMatch find(const std::vector<float>& recording, const std::vector<float>& track,
                           size_t from, int maxHidden);

    // Frames of the span of `recording` from `from` on whose samples reach `level`: from the
    // first such frame to the last one before `level` is not reached for `gap` frames.
    struct Span {
        size_t start = 0;
        size_t end = 0; // one past the last frame
        size_t frames() const { return end - start; }
    };
    static Span loudSpan(const std::vector<float>& recording, size_t from, float level, size_t gap);

    // The first frame at or after `from` that begins `frames` frames of exact silence.
    static size_t silenceAfter(const std::vector<float>& recording, size_t from, size_t frames);

    // The frame of `track` at which frames `at` to `at` + `probe` of `recording` stand exactly;
    // -1 when they stand nowhere in it.
    static long long locate(const std::vector<float>& recording, size_t at,
                            const std::vector<float>& track, size_t probe = 256);

    // The first frame of `recording` at or after `from` where `probe` frames of `track` stand
    // exactly, and the frame of `track` they begin with; {-1, -1} when there is none.
    struct Place {
        long long recordingFrame = -1;
        long long trackFrame = -1;
    };
    static Place firstPlace(const std::vector<float>& recording, size_t from,
                            const std::vector<float>& track, size_t probe = 256);

    bool found = false;
    size_t start = 0;       // frame of the recording that holds the first heard frame
    int hidden = 0;         // frames of the track's start the recording lacks
    size_t expected = 0;    // frames of the track from the first heard one to its last
    size_t exact = 0;       // of those, frames equal to the track before the first that is not
    size_t silentAfter = 0; // frames of exact silence in the recording after the track's end

    size_t end() const { return start + expected; }
    QString describe() const;
};
