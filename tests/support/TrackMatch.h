// Where a track is heard exactly in a recording of the sink (SinkTap): the first stretch of the
// recording, from a given frame on, that is a stretch of the track sample for sample, and how far
// it stays exact. A stretch of a few hundred frames of noise or of a rising sweep stands at one
// place of the track only, so the track's frame it begins with tells where playback was.
// Recordings and tracks are interleaved stereo at one rate.
//
// Threads: any.
#pragma once

#include <QString>
#include <cstddef>
#include <vector>

class TrackMatch
{
public:
    // Looks for the first frame of `recording`, at or after `from`, where `probe` frames stand
    // exactly as in `track`, and follows the stretch from there as far as it stays exact.
    static TrackMatch find(const std::vector<float>& recording, const std::vector<float>& track,
                           size_t from = 0, size_t probe = 256);

    bool found() const { return at >= 0; }
    // Whether the stretch begins where a stream that starts playing the track at frame `from`
    // begins: at that frame, or a whole number of `block` frames after it. The engine waits
    // StartPatience (300 ms) for a stream to open; when it takes longer (a busy PipeWire took up
    // to 700 ms here), the engine's silent clock keeps time meanwhile, in blocks of `block`
    // frames, and the stream takes over where a block ends: what the clock played is not heard.
    bool beginsAt(long long from, long long block) const
    {
        return trackFrame >= from && (trackFrame - from) % block == 0;
    }
    // The frame of the recording after the stretch, and the frame of the track after it.
    long long end() const { return at + frames; }
    long long trackEnd() const { return trackFrame + frames; }
    QString describe() const;

    long long at = -1;         // frame of the recording where the stretch begins
    long long trackFrame = -1; // the frame of the track it begins with
    long long frames = 0;      // frames it stays exact
};
