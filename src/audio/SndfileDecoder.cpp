#include "SndfileDecoder.h"

#include <algorithm>
#include <unistd.h>
#include <vector>

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
    decoder->rate = info.samplerate;
    decoder->channelCount = info.channels;
    decoder->length = info.frames;

    // A file cut short may announce more frames than it holds (FLAC's stream info, a WAV header
    // written before the data). The last stretch of the file is decoded to check; libFLAC takes
    // seconds to seek onto the very last frame of a long file, but not to a point before it.
    // When even that point cannot be read, the real end is found by bisection, a few dozen seeks
    // where decoding everything would take seconds; counting what decodes stays the answer when
    // the two disagree.
    const int64_t stretch = 65536;
    const int64_t nearEnd = std::max<int64_t>(decoder->length - stretch, 0);
    const int64_t tail = decoder->length > 0 ? decoder->framesFrom(nearEnd) : 0;
    if (tail > 0) {
        decoder->length = std::min(decoder->length, nearEnd + tail);
    } else if (decoder->length > 0) {
        int64_t readable = 0;             // frames 0 .. readable-1 read
        int64_t unreadable = nearEnd + 1; // frame unreadable-1 does not
        // Each probe near the real end costs libFLAC several milliseconds: the last stretch is
        // read through instead.
        while (unreadable - readable > stretch) {
            const int64_t middle = readable + (unreadable - readable) / 2;
            if (decoder->frameReads(middle - 1))
                readable = middle;
            else
                unreadable = middle;
        }
        const int64_t from = std::max<int64_t>(readable - 1, 0);
        const int64_t end = from + decoder->framesFrom(from);
        if (end >= readable && end < unreadable)
            decoder->length = end;
        else
            decoder->length = decoder->countDecodedFrames();
    }
    if (!decoder->reopen())
        return nullptr;
    return decoder;
}

SndfileDecoder::~SndfileDecoder()
{
    if (file)
        sf_close(file);
    if (fd >= 0)
        ::close(fd);
}

bool SndfileDecoder::reopen()
{
    if (file)
        sf_close(file);
    file = nullptr;
    position = 0;
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
    std::vector<float> buffer(4096 * static_cast<size_t>(channelCount));
    int64_t frames = 0;
    for (sf_count_t got; (got = sf_readf_float(file, buffer.data(), 4096)) > 0;)
        frames += got;
    return frames;
}

int64_t SndfileDecoder::countDecodedFrames()
{
    if (!reopen())
        return 0;
    std::vector<float> buffer(4096 * static_cast<size_t>(channelCount));
    int64_t frames = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(file, buffer.data(), 4096);
        if (got <= 0)
            break;
        frames += got;
    }
    return frames;
}

int64_t SndfileDecoder::read(float* out, int64_t frames)
{
    frames = std::min(frames, length - position);
    if (frames <= 0)
        return 0;
    sf_count_t done = 0;
    while (done < frames) {
        const sf_count_t got = sf_readf_float(file, out + done * channelCount, frames - done);
        if (got <= 0)
            break;
        done += got;
    }
    // A read error part-way is made up with silence, so the length stays true.
    std::fill(out + done * channelCount, out + frames * channelCount, 0.0f);
    position += frames;
    return frames;
}

bool SndfileDecoder::seek(int64_t frame)
{
    frame = std::clamp<int64_t>(frame, 0, length);
    if (!file)
        return false;
    if (frame == length) {
        // Seeking onto the very end is refused by some codecs; nothing is read from there anyway.
        position = length;
        return true;
    }
    if (sf_seek(file, frame, SEEK_SET) < 0)
        return false;
    position = frame;
    return true;
}
