#include "TrackMatch.h"

#include <cstdint>
#include <cstring>
#include <unordered_map>

TrackMatch TrackMatch::find(const std::vector<float>& recording, const std::vector<float>& track,
                            size_t from, size_t probe)
{
    // Every frame of the track by its two samples' bits: each recorded frame is then looked up
    // once, instead of being searched for through the whole track.
    auto key = [](const float* frame) {
        uint64_t bits = 0;
        std::memcpy(&bits, frame, sizeof bits);
        return bits;
    };
    const size_t frames = track.size() / 2;
    std::unordered_multimap<uint64_t, size_t> where;
    where.reserve(frames);
    for (size_t i = 0; i + probe <= frames; ++i)
        where.emplace(key(track.data() + 2 * i), i);
    const size_t recorded = recording.size() / 2;
    TrackMatch match;
    for (size_t at = from; at + probe <= recorded && !match.found(); ++at) {
        // Silence stands in a track's silence only, which says nothing of where it is.
        if (recording[2 * at] == 0.0f && recording[2 * at + 1] == 0.0f)
            continue;
        const auto [begin, end] = where.equal_range(key(recording.data() + 2 * at));
        for (auto it = begin; it != end; ++it) {
            if (std::memcmp(recording.data() + 2 * at, track.data() + 2 * it->second,
                            probe * 2 * sizeof(float)) == 0) {
                match.at = static_cast<long long>(at);
                match.trackFrame = static_cast<long long>(it->second);
                break;
            }
        }
    }
    if (!match.found())
        return match;
    while (static_cast<size_t>(match.end()) < recorded &&
           static_cast<size_t>(match.trackEnd()) < frames &&
           std::memcmp(recording.data() + 2 * match.end(), track.data() + 2 * match.trackEnd(),
                       2 * sizeof(float)) == 0)
        ++match.frames;
    return match;
}

QString TrackMatch::describe() const
{
    if (!found())
        return QStringLiteral("the track is not heard exactly anywhere");
    return QString("heard exactly from frame %1 of the recording, from the track's frame %2 to "
                   "its frame %3")
        .arg(at)
        .arg(trackFrame)
        .arg(trackEnd());
}
