#include "SndfileDecoder.h"

#include <algorithm>
#include <unistd.h>
#include <vector>

namespace
{

// Frames read at a time when counting what decodes.
constexpr sf_count_t countBlock = 4096;
// Where reading stopped early (damage), the search for where it goes on starts this far on and
// doubles its step; the gap it settles on is narrowed down to this many frames.
constexpr int64_t skipStep = 4096;

} // namespace

std::unique_ptr<SndfileDecoder> SndfileDecoder::open(int fd)
{
    std::unique_ptr<SndfileDecoder> decoder(new SndfileDecoder);
    decoder->fd = fd;
    if (!decoder->reopen())
        return nullptr;

    SF_INFO info{};
    sf_command(decoder->file, SFC_GET_CURRENT_SF_INFO, &info, sizeof info);
    // MPEG audio, bare or inside another container, is the MP3 decoder's: libsndfile's length
    // for it is an estimate.
    const int type = info.format & SF_FORMAT_TYPEMASK;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    if (type == SF_FORMAT_MPEG || subtype == SF_FORMAT_MPEG_LAYER_I ||
        subtype == SF_FORMAT_MPEG_LAYER_II || subtype == SF_FORMAT_MPEG_LAYER_III)
        return nullptr;
    if (info.channels <= 0 || info.samplerate <= 0 || info.frames < 0)
        return nullptr;
    decoder->channelCount = info.channels;
    decoder->frameCount = decoder->findEnd(info.frames);
    if (!decoder->reopen())
        return nullptr;
    decoder->setLinks({{{info.samplerate, info.channels}, decoder->frameCount}});
    return decoder;
}

SndfileDecoder::~SndfileDecoder()
{
    if (file)
        sf_close(file);
    if (fd >= 0)
        ::close(fd);
}

int64_t SndfileDecoder::findEnd(int64_t announced)
{
    if (announced <= 0)
        return 0;
    // A file cut short may announce more frames than it holds (FLAC's stream info, a WAV header
    // written before the data). The last stretch of the file is decoded to check; libFLAC takes
    // seconds to seek onto the very last frame of a long file, but not to a point before it.
    // When even that point cannot be read, the real end is found by bisection, a few dozen seeks
    // where decoding everything would take seconds; counting what decodes stays the answer when
    // the two disagree.
    const int64_t stretch = 65536;
    const int64_t nearEnd = std::max<int64_t>(announced - stretch, 0);
    const int64_t tail = framesFrom(nearEnd);
    if (tail > 0)
        return std::min(announced, nearEnd + tail);
    int64_t readable = 0;             // frames 0 .. readable-1 read
    int64_t unreadable = nearEnd + 1; // frame unreadable-1 does not
    // Each probe near the real end costs libFLAC several milliseconds: the last stretch is read
    // through instead.
    while (unreadable - readable > stretch) {
        const int64_t middle = readable + (unreadable - readable) / 2;
        if (frameReads(middle - 1))
            readable = middle;
        else
            unreadable = middle;
    }
    const int64_t from = std::max<int64_t>(readable - 1, 0);
    const int64_t end = from + framesFrom(from);
    return end >= readable && end < unreadable ? end : framesFrom(0);
}

bool SndfileDecoder::reopen()
{
    if (file)
        sf_close(file);
    file = nullptr;
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return false;
    SF_INFO info{};
    file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    return file != nullptr;
}

bool SndfileDecoder::frameReads(int64_t frame)
{
    // A failed seek can leave a codec unable to seek again: every probe starts afresh.
    if (!reopen())
        return false;
    std::vector<float> one(static_cast<size_t>(channelCount));
    return sf_seek(file, frame, SEEK_SET) >= 0 && sf_readf_float(file, one.data(), 1) == 1;
}

int64_t SndfileDecoder::framesFrom(int64_t frame)
{
    if (!reopen() || sf_seek(file, frame, SEEK_SET) < 0)
        return 0;
    std::vector<float> buffer(static_cast<size_t>(countBlock) * static_cast<size_t>(channelCount));
    int64_t frames = 0;
    for (sf_count_t got; (got = sf_readf_float(file, buffer.data(), countBlock)) > 0;)
        frames += got;
    return frames;
}

int64_t SndfileDecoder::findReadableAfter(int64_t frame)
{
    // Steps of growing length find a frame that reads; the gap before it is then narrowed down.
    int64_t unreadable = frame;
    int64_t readable = -1;
    for (int64_t step = skipStep; unreadable + step < frameCount; step *= 2) {
        if (frameReads(unreadable + step)) {
            readable = unreadable + step;
            break;
        }
        unreadable += step;
    }
    if (readable < 0)
        return -1;
    while (readable - unreadable > skipStep) {
        const int64_t middle = unreadable + (readable - unreadable) / 2;
        (frameReads(middle) ? readable : unreadable) = middle;
    }
    if (!reopen() || sf_seek(file, readable, SEEK_SET) < 0)
        return -1;
    return readable;
}

int64_t SndfileDecoder::decode(size_t link, float* out, int64_t frames)
{
    if (resumeAt > at) {
        // The stretch stepped over plays as silence of its length.
        const int64_t gap = std::min(frames, resumeAt - at);
        std::fill(out, out + gap * channelCount, 0.0f);
        at += gap;
        return gap;
    }
    if (!file || stuck)
        return 0;
    const sf_count_t got = sf_readf_float(file, out, frames);
    if (got > 0) {
        at += got;
        return got;
    }
    // Reading stopped before the end: damage, or a file that shrank while it plays.
    resumeAt = findReadableAfter(at);
    if (resumeAt < 0) {
        stuck = true;
        return 0;
    }
    return decode(link, out, frames);
}

bool SndfileDecoder::seekTo(size_t, int64_t frame)
{
    if (!file)
        return false;
    resumeAt = -1;
    stuck = false;
    // A codec that lost its way in damage may seek again once opened afresh.
    if (sf_seek(file, frame, SEEK_SET) < 0 && (!reopen() || sf_seek(file, frame, SEEK_SET) < 0))
        return false;
    at = frame;
    return true;
}
