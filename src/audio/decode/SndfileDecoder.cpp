#include "SndfileDecoder.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace
{

// Frames read at a time when counting what decodes.
constexpr sf_count_t countBlock = 4096;
// Where reading stopped early (damage), the search for where it goes on starts this far on and
// doubles its step; the gap it settles on is narrowed down to this many frames.
constexpr int64_t skipStep = 4096;

// How far back from its end a FLAC file is searched for frame headers.
constexpr size_t flacTailBytes = 256 * 1024;

// FLAC's frame header checksum: CRC-8, polynomial x^8 + x^2 + x + 1.
unsigned char crc8(const unsigned char* bytes, size_t count)
{
    unsigned crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1) & 0xFF;
    }
    return static_cast<unsigned char>(crc);
}

// FLAC's frame checksum: CRC-16, polynomial x^16 + x^15 + x^2 + 1.
unsigned crc16(const unsigned char* bytes, size_t count)
{
    unsigned crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<unsigned>(bytes[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1) & 0xFFFF;
    }
    return crc;
}

// A FLAC frame as its header tells it: the first sample it holds and how many.
struct FlacFrame {
    int64_t first = -1;
    int64_t samples = 0;
};

// The frame whose header starts at `p` (`available` bytes there); `first` is -1 when no header
// starts there. `fixedBlock` is the stream's block size when every frame has the same one.
FlacFrame flacFrameAt(const unsigned char* p, size_t available, int64_t fixedBlock)
{
    if (available < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
        return {};
    const int blockCode = p[2] >> 4;
    const int rateCode = p[2] & 0x0F;
    const int sampleSize = (p[3] >> 1) & 7;
    if (blockCode == 0 || rateCode == 15 || (p[3] >> 4) > 10 || sampleSize == 3 ||
        sampleSize == 7 || (p[3] & 1))
        return {};
    // The frame or sample number, coded like UTF-8 in up to six bytes here.
    uint64_t number = p[4];
    int more = 0;
    for (unsigned mask = 0x80; more < 7 && (number & mask); mask >>= 1)
        ++more;
    if (more == 1 || more == 7)
        return {};
    more = more == 0 ? 0 : more - 1;
    number &= more == 0 ? 0x7F : (0x3Fu >> more);
    size_t at = 5;
    for (int i = 0; i < more; ++i, ++at) {
        if (at >= available || (p[at] & 0xC0) != 0x80)
            return {};
        number = (number << 6) | (p[at] & 0x3F);
    }
    FlacFrame frame;
    if (blockCode == 1)
        frame.samples = 192;
    else if (blockCode <= 5)
        frame.samples = int64_t{576} << (blockCode - 2);
    else if (blockCode >= 8)
        frame.samples = int64_t{256} << (blockCode - 8);
    else if (at + static_cast<size_t>(blockCode - 5) < available)
        frame.samples = (blockCode == 6 ? p[at] : (p[at] << 8) | p[at + 1]) + 1;
    at += blockCode == 6 ? 1 : blockCode == 7 ? 2 : 0;
    at += rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
    if (at >= available || crc8(p, at) != p[at] || frame.samples == 0)
        return {};
    if (p[1] & 1)
        frame.first = static_cast<int64_t>(number); // variable block sizes: a sample number
    else if (fixedBlock > 0)
        frame.first = static_cast<int64_t>(number) * fixedBlock;
    return frame;
}

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
    // A FLAC file says at each frame which sample it starts with: its last frames tell where it
    // ends, where libFLAC would take a dozen milliseconds for each seek near that end.
    if (const int64_t end = flacEnd(); end > 0 && end <= announced)
        return end;
    int64_t readable = 0;             // frames 0 .. readable-1 read
    int64_t unreadable = nearEnd + 1; // frame unreadable-1 does not
    // A length far beyond what the file's bytes could hold (libsndfile's "too many to count" for
    // an Ogg stream it cannot measure) is approached from below, doubling, so that the probes
    // (each opening the file afresh) are as many as the real length calls for.
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size >= 0 && announced / 1024 > size) {
        for (int64_t probe = stretch; probe < unreadable; probe *= 2) {
            if (!frameReads(probe - 1)) {
                unreadable = probe;
                break;
            }
            readable = probe;
        }
    }
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

int64_t SndfileDecoder::flacEnd() const
{
    // The stream info follows "fLaC" and its block header; its first two fields are the least and
    // the most samples a frame holds.
    unsigned char info[12] = {};
    if (::pread(fd, info, sizeof info, 0) != static_cast<ssize_t>(sizeof info) ||
        std::memcmp(info, "fLaC", 4) != 0)
        return -1;
    const int64_t smallest = (info[8] << 8) | info[9];
    const int64_t largest = (info[10] << 8) | info[11];
    const int64_t fixedBlock = smallest == largest ? largest : 0;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    const auto window =
        static_cast<size_t>(std::min<off_t>(std::max<off_t>(size, 0), flacTailBytes));
    std::vector<unsigned char> bytes(window);
    if (window == 0 || ::pread(fd, bytes.data(), window, size - static_cast<off_t>(window)) !=
                           static_cast<ssize_t>(window))
        return -1;
    // The last two frame headers. Each frame ends with the CRC-16 of its bytes: the one before the
    // last must check out up to the last header, which proves both headers real.
    size_t last = window;
    FlacFrame lastFrame;
    for (size_t at = window; at-- > 0;) {
        const FlacFrame frame = flacFrameAt(bytes.data() + at, window - at, fixedBlock);
        if (frame.first < 0)
            continue;
        if (last == window) {
            last = at;
            lastFrame = frame;
            continue;
        }
        const auto checked = [&](size_t from, size_t to) {
            return to - from > 2 && crc16(bytes.data() + from, to - from - 2) ==
                                        static_cast<unsigned>((bytes[to - 2] << 8) | bytes[to - 1]);
        };
        if (frame.first + frame.samples != lastFrame.first || !checked(at, last))
            return -1;
        // The last frame plays only when the file holds it whole.
        return lastFrame.first + (checked(last, window) ? lastFrame.samples : 0);
    }
    return -1;
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
