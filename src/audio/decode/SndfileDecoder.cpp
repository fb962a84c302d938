#include "SndfileDecoder.h"

#include <algorithm>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// Frames read at a time when counting what decodes.
constexpr sf_count_t countBlock = 4096;
// Where reading stopped early (damage), the search for where it goes on starts this far on and
// doubles its step; the gap it settles on is narrowed down to this many frames.
constexpr int64_t skipStep = 4096;
// A file cut short: the frames before its end that are decoded rather than bisected (findEnd).
constexpr int64_t readThrough = int64_t{1} << 20;
// Bytes one read may take on top of what its frames take, and the least one seek or probe may
// read: far above what libFLAC reads to seek in a long file (measured: 57 kB at most in 10
// minutes of noise, 98 MB, and 25 kB in 30 minutes of a tone), far below what it reads looking for
// its next frame through a stretch of zeros (measured: 17 MB to open a minute whose last 79 kB were
// zeros).
constexpr int64_t searchBytes = int64_t{1} << 20;
// A seek near the end of a FLAC file cut short reads more, in proportion to the file (measured:
// up to 1.6 MB in a 60-minute tone cut to 60 %, 28 MB), so a seek asked for, and each probe of
// the search for such an end, may read an eighth of the file; the probes stepping over a stretch
// that does not decode keep to searchBytes.
constexpr int64_t seekShare = 8;
// The most bytes a frame of one channel can take in any format libsndfile reads.
constexpr int64_t sampleBytes = 8;

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
    // Ogg Vorbis is the Vorbis decoder's too: libsndfile 1.2.0's seek in a damaged Vorbis stream
    // reads through a null pointer inside libvorbis (found by fuzzing; a seek is part of the
    // search for a cut file's end, at open).
    if (type == SF_FORMAT_OGG && subtype == SF_FORMAT_VORBIS)
        return nullptr;
    if (type == SF_FORMAT_FLAC || type == SF_FORMAT_OGG) {
        decoder->writtenEnd = endOfWrittenBytes(decoder->fd, 0, decoder->fileSize);
        if (decoder->writtenEnd < decoder->fileSize && !decoder->reopen())
            return nullptr;
    }
    if (info.frames == 0 && (type == SF_FORMAT_WAV || type == SF_FORMAT_WAVEX)) {
        // A recorder that dies before it finishes its header leaves a data chunk of size 0 with
        // the audio after it. libsndfile reads such a chunk as running to the end of the file
        // when the RIFF size is 8, as in the header it writes itself before any audio (measured
        // with libsndfile 1.2.0: 16-, 24-bit, float and 8-bit WAV, plain and extensible, with or
        // without chunks before the data; a 60 s file read whole, where a size of 0 gave none).
        decoder->unfinishedWav = true;
        if (!decoder->reopen())
            return nullptr;
        sf_command(decoder->file, SFC_GET_CURRENT_SF_INFO, &info, sizeof info);
    }
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
    // written before the data): the length is what decodes. The last stretch of the file is
    // decoded to check; libFLAC takes seconds to seek onto the very last frame of a long file, but
    // not to a point before it. When even that point cannot be read, the real end is found by
    // bisection, a few seeks where decoding everything would take seconds; counting what decodes
    // stays the answer when the two disagree.
    const int64_t stretch = 65536;
    const int64_t nearEnd = std::max<int64_t>(announced - stretch, 0);
    const int64_t tail = framesFrom(nearEnd);
    if (tail > 0)
        return nearEnd + std::min(tail, announced - nearEnd);
    int64_t readable = 0;             // frames 0 .. readable-1 read
    int64_t unreadable = nearEnd + 1; // frame unreadable-1 does not
    // A length far beyond what the file's bytes could hold (libsndfile's "too many to count" for
    // an Ogg stream it cannot measure) is approached from below, doubling, so that the probes
    // (each opening the file afresh) are as many as the real length calls for.
    if (announced / 1024 > fileSize) {
        for (int64_t probe = stretch; probe < unreadable; probe *= 2) {
            if (!frameReads(probe - 1, seekBytes())) {
                unreadable = probe;
                break;
            }
            readable = probe;
            if (probe > unreadable / 2)
                break;
        }
    }
    // In a FLAC file cut short, libFLAC's seek slows down near the real end (measured on a
    // 60-minute file cut to 60 %: 2 ms 35 million frames before it, 10 ms one million before,
    // 16 ms at it), where decoding runs at about a million frames in 9 ms: the last stretch is
    // read through instead of bisected.
    while (unreadable - readable > readThrough) {
        const int64_t middle = readable + (unreadable - readable) / 2;
        if (frameReads(middle - 1, seekBytes()))
            readable = middle;
        else
            unreadable = middle;
    }
    const int64_t from = std::max<int64_t>(readable - 1, 0);
    const int64_t end = from + std::min(framesFrom(from), unreadable - from);
    return end >= readable && end < unreadable ? end : std::min(framesFrom(0), announced);
}

int64_t SndfileDecoder::seekBytes() const
{
    return std::max<int64_t>(searchBytes, fileSize / seekShare);
}

bool SndfileDecoder::reopen()
{
    if (file)
        sf_close(file);
    file = nullptr;
    // The size is taken afresh: a file can shrink while it plays.
    struct stat status {
    };
    if (::fstat(fd, &status) != 0)
        return false;
    fileSize = std::min<sf_count_t>(status.st_size, writtenEnd);
    offset = 0;
    allowance = -1;
    static SF_VIRTUAL_IO io{&ioLength, &ioSeek, &ioRead, nullptr, &ioTell};
    SF_INFO info{};
    file = sf_open_virtual(&io, SFM_READ, &info, this);
    return file != nullptr;
}

sf_count_t SndfileDecoder::ioLength(void* self)
{
    return static_cast<SndfileDecoder*>(self)->fileSize;
}

sf_count_t SndfileDecoder::ioSeek(sf_count_t to, int whence, void* self)
{
    auto* decoder = static_cast<SndfileDecoder*>(self);
    const sf_count_t from = whence == SEEK_CUR   ? decoder->offset
                            : whence == SEEK_END ? decoder->fileSize
                                                 : 0;
    // libsndfile never seeks before the start; past the end a read gives nothing.
    if (to < -from || (to > 0 && from > std::numeric_limits<sf_count_t>::max() - to))
        return -1;
    decoder->offset = from + to;
    return decoder->offset;
}

sf_count_t SndfileDecoder::ioRead(void* to, sf_count_t count, void* self)
{
    auto* decoder = static_cast<SndfileDecoder*>(self);
    count = std::min(count, decoder->fileSize - decoder->offset);
    if (decoder->allowance >= 0)
        count = std::min<sf_count_t>(count, decoder->allowance);
    if (count <= 0 || decoder->interrupted())
        return 0;
    const ssize_t got = ::pread(decoder->fd, to, static_cast<size_t>(count), decoder->offset);
    if (got <= 0)
        return 0;
    if (decoder->allowance >= 0)
        decoder->allowance -= got;
    // The RIFF size of a WAV left unfinished, as open() explains: 8, little-endian.
    const sf_count_t first = decoder->offset;
    for (sf_count_t byte = 4; decoder->unfinishedWav && byte < 8; ++byte) {
        if (byte >= first && byte < first + got)
            static_cast<unsigned char*>(to)[byte - first] = byte == 4 ? 8 : 0;
    }
    decoder->offset += got;
    return got;
}

sf_count_t SndfileDecoder::ioTell(void* self)
{
    return static_cast<SndfileDecoder*>(self)->offset;
}

bool SndfileDecoder::frameReads(int64_t frame, int64_t bytes)
{
    // A failed seek can leave a codec unable to seek again: every probe starts afresh.
    if (!reopen())
        return false;
    allow(bytes);
    std::vector<float> one(static_cast<size_t>(channelCount));
    return sf_seek(file, frame, SEEK_SET) >= 0 && sf_readf_float(file, one.data(), 1) == 1;
}

int64_t SndfileDecoder::framesFrom(int64_t frame)
{
    if (!reopen())
        return 0;
    allow(seekBytes());
    if (sf_seek(file, frame, SEEK_SET) < 0)
        return 0;
    std::vector<float> buffer(static_cast<size_t>(countBlock) * static_cast<size_t>(channelCount));
    int64_t frames = 0;
    for (;;) {
        allow(searchBytes + countBlock * channelCount * sampleBytes);
        const sf_count_t got = sf_readf_float(file, buffer.data(), countBlock);
        if (got <= 0)
            return frames;
        frames += got;
    }
}

int64_t SndfileDecoder::findReadableAfter(int64_t frame)
{
    // Steps of growing length find a frame that reads; the gap before it is then narrowed down.
    int64_t unreadable = frame;
    int64_t readable = -1;
    for (int64_t step = skipStep; unreadable + step < frameCount; step *= 2) {
        if (frameReads(unreadable + step, searchBytes)) {
            readable = unreadable + step;
            break;
        }
        unreadable += step;
    }
    if (readable < 0)
        return -1;
    while (readable - unreadable > skipStep) {
        const int64_t middle = unreadable + (readable - unreadable) / 2;
        (frameReads(middle, searchBytes) ? readable : unreadable) = middle;
    }
    if (!reopen())
        return -1;
    allow(searchBytes);
    return sf_seek(file, readable, SEEK_SET) < 0 ? -1 : readable;
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
    allow(searchBytes + frames * channelCount * sampleBytes);
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
    allow(seekBytes());
    if (sf_seek(file, frame, SEEK_SET) < 0) {
        if (!reopen())
            return false;
        allow(seekBytes());
        if (sf_seek(file, frame, SEEK_SET) < 0)
            return false;
    }
    at = frame;
    return true;
}
