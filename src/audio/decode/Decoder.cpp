#include "Decoder.h"

#include <algorithm>
#include <unistd.h>

namespace
{

// Frames of the timeline at `timelineRate` that `frames` frames at `rate` last.
int64_t onTimeline(int64_t frames, int rate, int timelineRate)
{
    return frames * timelineRate / rate;
}

} // namespace

void Decoder::setLinks(const std::vector<Link>& found)
{
    kept.clear();
    starts.clear();
    length = 0;
    for (Link candidate : found) {
        if (candidate.frames <= 0 || candidate.format.channels <= 0 ||
            candidate.format.rate < MinLinkRate || candidate.format.rate > MaxLinkRate)
            continue;
        if (kept.empty())
            timelineRate = candidate.format.rate;
        // A link that would take the timeline past its longest is cut where it gets there, and
        // nothing after it is kept.
        const int64_t room = MaxLengthFrames - length;
        if (room <= 0)
            break;
        const int64_t roomAtRate = room * candidate.format.rate / timelineRate;
        if (candidate.frames > roomAtRate)
            candidate.frames = roomAtRate;
        if (candidate.frames <= 0)
            break;
        kept.push_back(candidate);
        starts.push_back(length);
        length += std::min(room, onTimeline(candidate.frames, candidate.format.rate, timelineRate));
        mostChannels = std::max(mostChannels, candidate.format.channels);
    }
    link = 0;
    linkFrame = 0;
    linkExhausted = false;
}

std::vector<Decoder::Format> Decoder::formats() const
{
    std::vector<Format> result;
    for (const Link& each : kept) {
        if (std::find(result.begin(), result.end(), each.format) == result.end())
            result.push_back(each.format);
    }
    return result;
}

Decoder::Format Decoder::format() const
{
    if (kept.empty())
        return {};
    return kept[std::min(link, kept.size() - 1)].format;
}

int64_t Decoder::position() const
{
    if (link >= kept.size())
        return length;
    return starts[link] + onTimeline(linkFrame, kept[link].format.rate, timelineRate);
}

void Decoder::enterNextLink()
{
    ++link;
    linkFrame = 0;
    linkExhausted = false;
}

int64_t Decoder::read(float* out, int64_t frames)
{
    if (frames <= 0 || link >= kept.size())
        return 0;
    const Format current = kept[link].format;
    const auto width = static_cast<size_t>(current.channels);
    int64_t done = 0;
    while (done < frames && link < kept.size() && kept[link].format == current) {
        const int64_t wanted = std::min(frames - done, kept[link].frames - linkFrame);
        float* target = out + static_cast<size_t>(done) * width;
        int64_t got = 0;
        if (!linkExhausted) {
            // A decoder is never believed beyond what it was asked for.
            got = std::clamp<int64_t>(decode(link, target, wanted), 0, wanted);
            linkExhausted = got == 0;
        }
        if (got == 0) {
            // What the link cannot give any more plays as silence, so the length stays true.
            std::fill(target, target + static_cast<size_t>(wanted) * width, 0.0f);
            got = wanted;
        }
        done += got;
        linkFrame += got;
        if (linkFrame == kept[link].frames)
            enterNextLink();
    }
    return done;
}

bool Decoder::seek(int64_t frame)
{
    frame = std::clamp<int64_t>(frame, 0, length);
    if (frame == length) {
        // Nothing is read from the very end: no decoder has to go there.
        link = kept.size();
        linkFrame = 0;
        return true;
    }
    // The last link starting at or before the frame; a link too short to take up a frame of the
    // timeline starts where the next one does and is passed over.
    const auto after = std::upper_bound(starts.begin(), starts.end(), frame);
    const auto target = static_cast<size_t>(after - starts.begin() - 1);
    const Link& chosen = kept[target];
    const int64_t inLink =
        std::min((frame - starts[target]) * chosen.format.rate / timelineRate, chosen.frames - 1);
    if (!seekTo(target, inLink)) {
        // Where the decoder stands now is unknown: the rest of the link plays as silence.
        linkExhausted = true;
        return false;
    }
    link = target;
    linkFrame = inLink;
    linkExhausted = false;
    return true;
}

int64_t Decoder::endOfWrittenBytes(int fd, int64_t from, int64_t size)
{
    constexpr int64_t block = 4096;
    std::vector<unsigned char> bytes(block);
    // Past the last byte of block `index` that is not zero, 0 when it is all zeros.
    const auto written = [&](int64_t index) -> int64_t {
        const ssize_t got = ::pread(fd, bytes.data(), block, index * block);
        for (ssize_t i = got; i > 0; --i) {
            if (bytes[static_cast<size_t>(i - 1)] != 0)
                return i;
        }
        return got < 0 ? block : 0; // a block that cannot be read is not taken for zeros
    };
    const int64_t last = (size - 1) / block;
    int64_t data = from / block; // a block with written bytes
    int64_t zeros = last;        // a block of zeros
    if (size <= block || data >= last || written(last) > 0 || written(data) == 0)
        return size;
    while (zeros - data > 1) {
        const int64_t middle = data + (zeros - data) / 2;
        (written(middle) > 0 ? data : zeros) = middle;
    }
    for (int64_t spot = 1; spot <= 8; ++spot) {
        if (written(zeros + (last - zeros) * spot / 8) > 0)
            return size;
    }
    return data * block + written(data);
}
