#include "TrackMatch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace
{

bool silentFrame(const std::vector<float>& samples, size_t frame)
{
    return samples[2 * frame] == 0.0f && samples[2 * frame + 1] == 0.0f;
}

} // namespace

TrackMatch TrackMatch::find(const std::vector<float>& recording, const std::vector<float>& track,
                            size_t from, int maxHidden)
{
    TrackMatch match;
    const size_t recorded = recording.size() / 2;
    const size_t frames = track.size() / 2;
    size_t first = from;
    while (first < recorded && silentFrame(recording, first))
        ++first;
    if (first == recorded)
        return match;
    // The offset into the track at which the recording picks it up: a run of noise this long
    // matches at one offset only.
    const size_t probe = std::min<size_t>(256, recorded - first);
    for (int hidden = 0; hidden <= maxHidden && static_cast<size_t>(hidden) + probe <= frames;
         ++hidden) {
        if (std::memcmp(recording.data() + 2 * first, track.data() + 2 * hidden,
                        probe * 2 * sizeof(float)) == 0) {
            match.found = true;
            match.hidden = hidden;
            break;
        }
    }
    if (!match.found)
        return match;
    match.start = first;
    match.expected = frames - static_cast<size_t>(match.hidden);
    const size_t available = std::min(match.expected, recorded - first);
    while (match.exact < available &&
           recording[2 * (first + match.exact)] == track[2 * (match.hidden + match.exact)] &&
           recording[2 * (first + match.exact) + 1] == track[2 * (match.hidden + match.exact) + 1])
        ++match.exact;
    for (size_t at = match.end(); at < recorded && silentFrame(recording, at); ++at)
        ++match.silentAfter;
    return match;
}

TrackMatch::Span TrackMatch::loudSpan(const std::vector<float>& recording, size_t from, float level,
                                      size_t gap)
{
    const size_t recorded = recording.size() / 2;
    auto loud = [&](size_t frame) {
        return std::fabs(recording[2 * frame]) >= level ||
               std::fabs(recording[2 * frame + 1]) >= level;
    };
    Span span;
    size_t at = from;
    while (at < recorded && !loud(at))
        ++at;
    span.start = span.end = at;
    for (size_t quiet = 0; at < recorded && quiet < gap; ++at) {
        if (loud(at)) {
            span.end = at + 1;
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return span;
}

size_t TrackMatch::silenceAfter(const std::vector<float>& recording, size_t from, size_t frames)
{
    const size_t recorded = recording.size() / 2;
    size_t run = 0;
    for (size_t at = from; at < recorded; ++at) {
        run = silentFrame(recording, at) ? run + 1 : 0;
        if (run == frames)
            return at + 1 - frames;
    }
    return recorded;
}

long long TrackMatch::locate(const std::vector<float>& recording, size_t at,
                             const std::vector<float>& track, size_t probe)
{
    const size_t frames = track.size() / 2;
    if (2 * (at + probe) > recording.size() || probe > frames)
        return -1;
    const float* wanted = recording.data() + 2 * at;
    for (size_t offset = 0; offset + probe <= frames; ++offset) {
        if (track[2 * offset] == wanted[0] &&
            std::memcmp(track.data() + 2 * offset, wanted, probe * 2 * sizeof(float)) == 0)
            return static_cast<long long>(offset);
    }
    return -1;
}

TrackMatch::Place TrackMatch::firstPlace(const std::vector<float>& recording, size_t from,
                                         const std::vector<float>& track, size_t probe)
{
    // Every frame of the track by its two samples' bits: each recorded frame is then looked up
    // once, instead of being searched for through the whole track.
    auto key = [](const float* frame) {
        uint32_t left = 0;
        uint32_t right = 0;
        std::memcpy(&left, frame, sizeof left);
        std::memcpy(&right, frame + 1, sizeof right);
        return (static_cast<uint64_t>(left) << 32) | right;
    };
    const size_t frames = track.size() / 2;
    std::unordered_multimap<uint64_t, size_t> where;
    where.reserve(frames);
    for (size_t i = 0; i + probe <= frames; ++i)
        where.emplace(key(track.data() + 2 * i), i);
    const size_t recorded = recording.size() / 2;
    for (size_t at = from; at + probe <= recorded; ++at) {
        if (silentFrame(recording, at))
            continue;
        const auto [begin, end] = where.equal_range(key(recording.data() + 2 * at));
        for (auto it = begin; it != end; ++it) {
            if (std::memcmp(recording.data() + 2 * at, track.data() + 2 * it->second,
                            probe * 2 * sizeof(float)) == 0)
                return {static_cast<long long>(at), static_cast<long long>(it->second)};
        }
    }
    return {};
}

QString TrackMatch::describe() const
{
    if (!found)
        return QStringLiteral("the track was not found in the recording");
    return QString("from frame %1: %2 frames missing at the start, %3 of %4 frames exact, "
                   "then %5 frames of silence")
        .arg(start)
        .arg(hidden)
        .arg(exact)
        .arg(expected)
        .arg(silentAfter);
}
