#include "Mpg123Decoder.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mpg123.h>
#include <unistd.h>
#include <vector>

namespace
{

struct FrameHeader {
    int version = 0; // 1 for MPEG-1, 2 for MPEG-2, 25 for MPEG-2.5
    int layer = 0;
    int sampleRate = 0;
    int channels = 0;
    size_t bytes = 0;
};

bool parseHeader(const unsigned char* p, FrameHeader& header)
{
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    const int versionBits = (p[1] >> 3) & 3;
    const int layerBits = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
        rateIndex == 3 || (p[3] & 3) == 2)
        return false;

    static constexpr std::array<std::array<int, 15>, 5> kbps{{
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // 1, I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // 1, II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // 1, III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // 2, I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // 2, II/III
    }};
    static constexpr std::array<int, 3> rates{44100, 48000, 32000};

    header.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
    header.layer = 4 - layerBits;
    const int divisor = header.version == 1 ? 1 : header.version == 2 ? 2 : 4;
    header.sampleRate = rates[static_cast<size_t>(rateIndex)] / divisor;
    header.channels = (p[3] >> 6) == 3 ? 1 : 2;
    const size_t table = header.version == 1 ? static_cast<size_t>(header.layer - 1)
                         : header.layer == 1 ? 3
                                             : 4;
    const long bitrate = kbps[table][static_cast<size_t>(bitrateIndex)] * 1000L;
    if (header.layer == 1)
        header.bytes = static_cast<size_t>((12 * bitrate / header.sampleRate + padding) * 4);
    else if (header.layer == 3 && header.version != 1)
        header.bytes = static_cast<size_t>(72 * bitrate / header.sampleRate + padding);
    else
        header.bytes = static_cast<size_t>(144 * bitrate / header.sampleRate + padding);
    return header.bytes >= 4;
}

bool sameStream(const FrameHeader& a, const FrameHeader& b)
{
    return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate &&
           a.channels == b.channels;
}

uint32_t bigEndian32(const unsigned char* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct XingHeader {
    bool present = false; // a Xing/Info header that gives the number of frames
    long long bytes = 0;  // bytes of the whole stream, that frame included; 0 when not given
};

// The Xing/Info header in the frame at `frame`, if it has one.
XingHeader readXingHeader(int fd, long long frame)
{
    std::array<unsigned char, 64> bytes{};
    if (::pread(fd, bytes.data(), bytes.size(), frame) != static_cast<ssize_t>(bytes.size()))
        return {};
    FrameHeader header;
    if (!parseHeader(bytes.data(), header) || header.layer != 3)
        return {};
    const size_t sideInfo =
        header.version == 1 ? (header.channels == 1 ? 17 : 32) : (header.channels == 1 ? 9 : 17);
    const unsigned char* tag = bytes.data() + 4 + sideInfo;
    if (std::memcmp(tag, "Xing", 4) != 0 && std::memcmp(tag, "Info", 4) != 0)
        return {};
    const uint32_t flags = bigEndian32(tag + 4);
    XingHeader xing;
    xing.present = (flags & 1) && bigEndian32(tag + 8) > 0;
    // The byte count follows the frame count when that is present.
    if (flags & 2)
        xing.bytes = bigEndian32(tag + 8 + ((flags & 1) ? 4 : 0));
    return xing;
}

// Bytes of the file left for audio from `frame` on, without an ID3v1 tag at the end.
long long availableBytes(int fd, long long fileSize, long long frame)
{
    long long end = fileSize;
    char tag[3] = {};
    if (fileSize - frame >= 128 && ::pread(fd, tag, 3, fileSize - 128) == 3 &&
        std::memcmp(tag, "TAG", 3) == 0)
        end -= 128;
    return end - frame;
}

int channelsOf(int mode)
{
    return mode == MPG123_M_MONO ? 1 : 2;
}

} // namespace

// libmpg123 reads a frame's header and body with separate small reads; through the descriptor
// that is two system calls per frame, which dominates the scan of a long file and the reading
// ahead of a far seek. This reader serves them from a block read at once.
struct Mpg123Decoder::Reader {
    static constexpr size_t blockBytes = 256 * 1024;

    int fd = -1;
    long long fileSize = 0;
    long long position = 0;
    long long blockStart = 0;
    size_t blockFill = 0;
    std::vector<unsigned char> block = std::vector<unsigned char>(blockBytes);

    static ssize_t read(void* handle, void* out, size_t bytes)
    {
        auto* reader = static_cast<Reader*>(handle);
        unsigned char* target = static_cast<unsigned char*>(out);
        size_t done = 0;
        while (done < bytes) {
            const long long offset = reader->position - reader->blockStart;
            if (offset >= 0 && offset < static_cast<long long>(reader->blockFill)) {
                const size_t count =
                    std::min(bytes - done, reader->blockFill - static_cast<size_t>(offset));
                std::memcpy(target + done, reader->block.data() + offset, count);
                done += count;
                reader->position += static_cast<long long>(count);
                continue;
            }
            const ssize_t got =
                ::pread(reader->fd, reader->block.data(), blockBytes, reader->position);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                reader->blockFill = 0;
                if (got < 0 && done == 0)
                    return -1;
                break;
            }
            reader->blockStart = reader->position;
            reader->blockFill = static_cast<size_t>(got);
        }
        return static_cast<ssize_t>(done);
    }

    // The `bytes` bytes at `offset` (fewer at the end of the file: `available` says how many),
    // from the block, which is read anew from `offset` when it does not hold them.
    const unsigned char* bytesAt(long long offset, size_t bytes, size_t& available)
    {
        if (offset < blockStart || offset + static_cast<long long>(bytes) >
                                       blockStart + static_cast<long long>(blockFill)) {
            ssize_t got = -1;
            while ((got = ::pread(fd, block.data(), blockBytes, offset)) < 0 && errno == EINTR)
                ;
            blockStart = offset;
            blockFill = got > 0 ? static_cast<size_t>(got) : 0;
        }
        available = static_cast<size_t>(blockStart + static_cast<long long>(blockFill) - offset);
        return block.data() + (offset - blockStart);
    }

    static off_t seek(void* handle, off_t offset, int whence)
    {
        auto* reader = static_cast<Reader*>(handle);
        long long target = offset;
        if (whence == SEEK_CUR)
            target += reader->position;
        else if (whence == SEEK_END)
            target += reader->fileSize;
        else if (whence != SEEK_SET)
            return -1;
        if (target < 0)
            return -1;
        reader->position = target;
        return static_cast<off_t>(target);
    }
};

Mpg123Decoder::Probe Mpg123Decoder::findFrames(const unsigned char* data, size_t size)
{
    Probe best;
    for (size_t offset = 0; offset + 4 <= size; ++offset) {
        FrameHeader first;
        if (!parseHeader(data + offset, first))
            continue;
        int run = 1;
        size_t next = offset + first.bytes;
        while (run < 4 && next + 4 <= size) {
            FrameHeader following;
            if (!parseHeader(data + next, following) || !sameStream(first, following))
                break;
            ++run;
            next += following.bytes;
        }
        // Layer I headers start with 0xFFFF, common in any binary: they never count as sure.
        if (run >= 4 && first.layer != 1)
            return {Sync::Strong, offset};
        if (run >= 2 && best.sync == Sync::None)
            best = {Sync::Weak, offset};
    }
    return best;
}

bool Mpg123Decoder::framesChangeFormat(Reader& bytes, long long from)
{
    // Frame after frame by their headers alone; where a header does not follow, the next place
    // where one does is searched for. A format counts once a run of frames keeps it, so that a
    // stray header in damaged data changes nothing.
    constexpr int run = 4;
    FrameHeader first;
    FrameHeader last;
    FrameHeader next;
    int kept = 0;
    bool settled = false;
    for (long long at = from;;) {
        size_t available = 0;
        const unsigned char* header = bytes.bytesAt(at, 4, available);
        if (available < 4)
            return false;
        if (!parseHeader(header, next)) {
            // On to the next byte that can start a frame header.
            const void* sync = std::memchr(header + 1, 0xFF, available - 1);
            at += sync ? static_cast<const unsigned char*>(sync) - header
                       : static_cast<long long>(available);
            kept = 0;
            continue;
        }
        kept = kept > 0 && sameStream(last, next) ? kept + 1 : 1;
        last = next;
        if (kept == run) {
            if (!settled) {
                first = next;
                settled = true;
            } else if (next.sampleRate != first.sampleRate || next.channels != first.channels) {
                return true;
            }
        }
        at += static_cast<long long>(next.bytes);
    }
}

std::unique_ptr<Mpg123Decoder> Mpg123Decoder::open(int fd, long long fileSize, long long firstFrame)
{
    std::unique_ptr<Mpg123Decoder> decoder(new Mpg123Decoder);
    decoder->fd = fd;
    decoder->reader = std::make_unique<Reader>();
    decoder->reader->fd = fd;
    decoder->reader->fileSize = fileSize;

    // A Xing/Info header that accounts for every byte describes one encoding in one format.
    // Otherwise the frame headers are looked at: files joined end to end change format.
    const XingHeader xing = readXingHeader(fd, firstFrame);
    const long long available = availableBytes(fd, fileSize, firstFrame);
    const bool wholeFileAnnounced = xing.bytes > 0 && xing.bytes >= available;
    const bool mixed = !wholeFileAnnounced && framesChangeFormat(*decoder->reader, firstFrame);
    if (!decoder->startHandle(!mixed))
        return nullptr;
    if (!(mixed ? decoder->measureLinks() : decoder->measureOneLink(fileSize, firstFrame)))
        return nullptr;
    if (mpg123_seek(decoder->handle, 0, SEEK_SET) < 0)
        return nullptr;
    return decoder;
}

bool Mpg123Decoder::startHandle(bool gapless)
{
    if (handle) {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
    reader->position = 0;
    int error = MPG123_OK;
    handle = mpg123_new(nullptr, &error);
    if (!handle)
        return false;
    mpg123_param(handle, gapless ? MPG123_ADD_FLAGS : MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0);
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
    // Damaged regions are skipped however long they are, instead of ending the track there.
    mpg123_param(handle, MPG123_RESYNC_LIMIT, -1, 0.0);
    // Keep an entry for every frame read so far (a scan reads them all): a seek then starts right
    // at its frame, and only a seek past the furthest frame read has to read headers up to it.
    mpg123_param(handle, MPG123_INDEX_SIZE, -1000, 0.0);
    // After a seek, decode enough frames ahead of the target to refill the bit reservoir and the
    // filter bank, so the samples match a decode from the start. Low-rate MPEG-2 frames are only
    // a few dozen bytes, so the reservoir alone can reach back a dozen frames; 32 costs well under
    // a millisecond per seek.
    mpg123_param(handle, MPG123_PREFRAMES, 32, 0.0);
    mpg123_format_none(handle);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
    return mpg123_replace_reader_handle(handle, &Reader::read, &Reader::seek, nullptr) ==
               MPG123_OK &&
           mpg123_open_handle(handle, reader.get()) == MPG123_OK;
}

bool Mpg123Decoder::measureOneLink(long long fileSize, long long firstFrame)
{
    long fileRate = 0;
    int fileChannels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle, &fileRate, &fileChannels, &encoding) != MPG123_OK ||
        fileRate <= 0 || fileChannels <= 0 || encoding != MPG123_ENC_FLOAT_32 ||
        !keepFormat({static_cast<int>(fileRate), fileChannels}))
        return false;

    // A Xing/Info header gives the exact length at once, unless the file lost some of the bytes
    // it announces. Without one, every frame header is read to count the samples.
    const XingHeader xing = readXingHeader(fd, firstFrame);
    const long long available = availableBytes(fd, fileSize, firstFrame);
    const bool truncated = xing.bytes > 0 && available < xing.bytes;
    // A damaged header could announce hours of audio in a small file, or minutes in a large
    // one. MPEG audio spends between 1 000 bytes (8 kbit/s) and 56 000 bytes (448 kbit/s) on a
    // second: a length outside what that allows is counted instead.
    bool plausible = true;
    if (xing.present) {
        const double seconds =
            static_cast<double>(mpg123_length(handle)) / static_cast<double>(fileRate);
        plausible = seconds > 0 && seconds <= static_cast<double>(available) / 1000.0 + 1.0 &&
                    seconds >= static_cast<double>(available) / 56000.0 - 1.0;
    }
    if ((!xing.present || truncated || !plausible) && mpg123_scan(handle) != MPG123_OK)
        return false;
    const off_t samples = mpg123_length(handle);
    if (samples <= 0)
        return false;
    setLinks({{{static_cast<int>(fileRate), fileChannels}, samples}});
    return true;
}

bool Mpg123Decoder::measureLinks()
{
    // Every frame is read (not decoded): its format, and the samples it holds. A run of frames in
    // one format makes a link.
    std::vector<Link> found;
    long frame = 0;
    for (int failures = 0; failures < 64;) {
        const int result = mpg123_framebyframe_next(handle);
        if (result == MPG123_DONE)
            break;
        if (result != MPG123_OK && result != MPG123_NEW_FORMAT) {
            ++failures;
            continue;
        }
        failures = 0;
        mpg123_frameinfo info{};
        const int samples = mpg123_spf(handle);
        if (mpg123_info(handle, &info) != MPG123_OK || samples <= 0)
            continue;
        const Format format{static_cast<int>(info.rate), channelsOf(info.mode)};
        if (found.empty() || found.back().format != format) {
            found.push_back({format, 0, linkStarts.size()});
            linkStarts.push_back({frame, samples});
        }
        found.back().frames += samples;
        ++frame;
    }
    setLinks(found);
    if (links().size() == 1) {
        linkStarts.clear();
        return keepFormat(links()[0].format);
    }
    return !links().empty();
}

bool Mpg123Decoder::keepFormat(Format format)
{
    // The output keeps this format: a stray frame in another one is converted.
    mpg123_format_none(handle);
    return mpg123_format(handle, format.rate, format.channels, MPG123_ENC_FLOAT_32) == MPG123_OK;
}

Mpg123Decoder::~Mpg123Decoder()
{
    if (handle) {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
    if (fd >= 0)
        ::close(fd);
}

bool Mpg123Decoder::readBytes(unsigned char* out, size_t bytes, size_t& got)
{
    got = 0;
    for (int stalls = 0; stalls <= 16;) {
        const int result = mpg123_read(handle, out, bytes, &got);
        if (result == MPG123_DONE)
            return got > 0;
        if (result == MPG123_NEW_FORMAT) {
            // What came with the news is still in the old format.
            long rate = 0;
            int channels = 0;
            int encoding = 0;
            mpg123_getformat(handle, &rate, &channels, &encoding);
            const Format now{static_cast<int>(rate), channels};
            if (now != links()[current].format && current + 1 < links().size() &&
                now == links()[current + 1].format)
                ++current;
            formatLost = now != links()[current].format;
            // Back to the caller before any frame of the new format is read.
            return true;
        }
        if (got > 0)
            return true;
        // Nothing decoded: a frame that cannot be, which libmpg123 resyncs past on the next call.
        ++stalls;
    }
    return false;
}

int64_t Mpg123Decoder::decode(size_t link, float* out, int64_t frames)
{
    // What is left of an earlier link (one that decoded longer than counted), or frames in a
    // format no link has, are dropped until this link's frames come: a bounded amount at a time,
    // so the read-ahead thread never holds the engine for long.
    scratch.resize(64 * 1024);
    for (int reads = 0; current < link || (current == link && formatLost); ++reads) {
        size_t got = 0;
        if (reads == 64 || !readBytes(scratch.data(), scratch.size(), got))
            return 0;
    }
    if (current != link)
        return 0;
    const size_t frameBytes = sizeof(float) * static_cast<size_t>(links()[link].format.channels);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(out);
    size_t done = 0;
    const size_t wanted = static_cast<size_t>(frames) * frameBytes;
    while (done < wanted && current == link && !formatLost) {
        size_t got = 0;
        const size_t before = current;
        if (!readBytes(bytes + done, wanted - done, got))
            break;
        // Bytes that came in the link's own format count; the news of a change ends the read.
        if (before == link)
            done += got;
    }
    // Frames lost to damage that libmpg123 skipped leave the link short of the length its
    // Xing/Info header announced: the base makes up the rest with silence.
    return static_cast<int64_t>(done / frameBytes);
}

bool Mpg123Decoder::skipFrames(int64_t frames)
{
    const size_t frameBytes = sizeof(float) * static_cast<size_t>(links()[current].format.channels);
    const size_t link = current;
    for (int64_t left = frames; left > 0;) {
        const size_t bytes = std::min(scratch.size(), static_cast<size_t>(left) * frameBytes);
        size_t got = 0;
        if (!readBytes(scratch.data(), bytes, got) || current != link)
            return false;
        left -= static_cast<int64_t>(got / frameBytes);
    }
    return true;
}

bool Mpg123Decoder::seekTo(size_t link, int64_t frame)
{
    scratch.resize(64 * 1024);
    formatLost = false;
    current = link;
    if (linkStarts.empty()) {
        // One link: libmpg123 seeks to the sample, gapless trimming included.
        const off_t reached = mpg123_seek(handle, static_cast<off_t>(frame), SEEK_SET);
        return reached >= 0 && reached <= frame && skipFrames(frame - reached);
    }
    // Links of different formats: libmpg123 counts samples by the current frame size, so the
    // seek goes by frame number, and the samples before the one asked for are dropped.
    const LinkStart& start = linkStarts[links()[link].origin];
    const off_t target = start.firstFrame + static_cast<off_t>(frame / start.samplesPerFrame);
    if (mpg123_seek_frame(handle, target, SEEK_SET) < 0)
        return false;
    return skipFrames(frame % start.samplesPerFrame);
}
