#include "Mpg123Decoder.h"

#include "Mpg123Reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mpg123.h>
#include <unistd.h>

namespace
{

uint32_t bigEndian32(const unsigned char* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The bytes that a Xing/Info header in the frame at `frame` says its stream takes, that frame
// included; 0 without one (or without a frame and byte count). libmpg123 reads the frame count
// of this header but keeps the byte count to itself, and only the byte count tells whether the
// header speaks for the whole file: files joined end to end carry one per file.
long long announcedBytes(int fd, long long frame)
{
    std::array<unsigned char, 56> bytes{};
    if (::pread(fd, bytes.data(), bytes.size(), frame) != static_cast<ssize_t>(bytes.size()))
        return 0;
    // The tag follows the frame's header and side information: 9, 17 or 32 bytes long.
    for (const size_t at : {13, 21, 36}) {
        const unsigned char* tag = bytes.data() + at;
        if (std::memcmp(tag, "Xing", 4) != 0 && std::memcmp(tag, "Info", 4) != 0)
            continue;
        const uint32_t flags = bigEndian32(tag + 4);
        return (flags & 3) == 3 ? bigEndian32(tag + 12) : 0;
    }
    return 0;
}

int channelsOf(int mode)
{
    return mode == MPG123_M_MONO ? 1 : 2;
}

} // namespace

Mpg123Decoder::Probe Mpg123Decoder::findFrames(const unsigned char* data, size_t size)
{
    Probe found;
    std::unique_ptr<mpg123_handle, decltype(&mpg123_delete)> probe(mpg123_new(nullptr, nullptr),
                                                                   &mpg123_delete);
    // An Info frame counts as a frame here: the decoder reads its byte count from it.
    if (!probe ||
        mpg123_param(probe.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_IGNORE_INFOFRAME, 0.0) !=
            MPG123_OK ||
        mpg123_param(probe.get(), MPG123_RESYNC_LIMIT, -1, 0.0) != MPG123_OK ||
        mpg123_open_feed(probe.get()) != MPG123_OK ||
        mpg123_feed(probe.get(), data, size) != MPG123_OK)
        return found;
    mpg123_frameinfo2 first{};
    mpg123_frameinfo2 info{};
    off_t runStart = 0, next = -1;
    for (int frames = 0, run = 0; frames < 64; ++frames) {
        const int result = mpg123_framebyframe_next(probe.get());
        if ((result != MPG123_OK && result != MPG123_NEW_FORMAT) ||
            mpg123_info(probe.get(), &info) != MPG123_OK)
            break;
        const off_t at = mpg123_framepos(probe.get());
        // A run goes on with the next frame right behind the last, in the same format.
        if (run == 0 || at != next || info.version != first.version || info.layer != first.layer ||
            info.rate != first.rate || channelsOf(info.mode) != channelsOf(first.mode)) {
            run = 0;
            first = info;
            runStart = at;
        }
        ++run;
        next = at + info.framesize;
        // Layer I headers start with 0xFFFF, common in any binary: they never count as sure.
        if (run >= 4 && info.layer != 1)
            return {Sync::Strong, static_cast<size_t>(runStart)};
        if (run >= 2 && found.sync == Sync::None)
            found = {Sync::Weak, static_cast<size_t>(runStart)};
    }
    return found;
}

std::unique_ptr<Mpg123Decoder> Mpg123Decoder::open(int fd, long long fileSize, long long firstFrame)
{
    std::unique_ptr<Mpg123Decoder> decoder(new Mpg123Decoder);
    decoder->fd = fd;
    // Zeros after the frames (a download not finished) are not part of the stream.
    const long long end = endOfWrittenBytes(fd, firstFrame, fileSize);
    decoder->reader = std::make_unique<Mpg123Reader>(fd, end, decoder->interruption());
    if (!decoder->startHandle(true) || !decoder->measure(end, firstFrame) ||
        mpg123_seek(decoder->handle, 0, SEEK_SET) < 0)
        return nullptr;
    return decoder;
}

bool Mpg123Decoder::startHandle(bool gapless)
{
    if (handle) {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
    reader->rewind();
    int error = MPG123_OK;
    handle = mpg123_new(nullptr, &error);
    if (!handle)
        return false;
    mpg123_param(handle, gapless ? MPG123_ADD_FLAGS : MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0);
    // The ID3v2 tags (the engine reads none of them) are passed over, not read: a cover picture
    // can be hundreds of megabytes.
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
    // A damaged stretch is searched for the next frame this far; past it the stream ends there.
    // Unbounded, the search took whatever followed the audio for frames: random bytes played as
    // loud garbage, and zeros up to 1 GB were read through (35 s) at open and after a seek.
    mpg123_param(handle, MPG123_RESYNC_LIMIT, resyncBytes, 0.0);
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
    return mpg123_replace_reader_handle(handle, &Mpg123Reader::read, &Mpg123Reader::seek,
                                        nullptr) == MPG123_OK &&
           mpg123_open_handle(handle, reader.get()) == MPG123_OK;
}

bool Mpg123Decoder::measure(long long fileSize, long long firstFrame)
{
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(handle, &rate, &channels, &encoding) != MPG123_OK || rate <= 0 ||
        channels <= 0 || encoding != MPG123_ENC_FLOAT_32)
        return false;
    const Format format{static_cast<int>(rate), channels};
    // libmpg123 looked for an ID3v1 tag at the end as it opened the file.
    mpg123_id3v1* v1 = nullptr;
    const long long end =
        fileSize - (mpg123_id3(handle, &v1, nullptr) == MPG123_OK && v1 ? 128 : 0);
    int64_t samples = lengthWithoutScan(end, firstFrame, format.rate);
    if (samples <= 0) {
        if (mpg123_scan(handle) != MPG123_OK)
            return false;
        samples = mpg123_length(handle);
        // Files joined end to end: the first file's header says nothing about the others, and
        // libmpg123 cannot seek exactly in such a stream while it trims what that header
        // announces. Every frame plays whole.
        long joined = 0;
        double unused = 0;
        if (mpg123_getstate(handle, MPG123_FRANKENSTEIN, &joined, &unused) == MPG123_OK && joined)
            return startHandle(false) && measureLinks();
    }
    if (samples <= 0)
        return false;
    setLinks({{format, samples}});
    return keepFormat(format);
}

int64_t Mpg123Decoder::lengthWithoutScan(long long end, long long firstFrame, int rate)
{
    // Only an Info header that accounts for every byte of the stream tells the length: without
    // one, a file's size says nothing sure about its frames (a run at another bitrate, another
    // file joined after a tag), and they are counted.
    const off_t announced = mpg123_length(handle);
    const long long announcedStream = announcedBytes(fd, firstFrame);
    if (announced <= 0 || announcedStream != end - firstFrame)
        return 0;
    // A damaged header could announce hours of audio in a small file: MPEG audio spends between
    // 1 000 bytes (8 kbit/s) and 56 000 bytes (448 kbit/s) on a second.
    const double seconds = static_cast<double>(announced) / rate;
    const auto bytes = static_cast<double>(announcedStream);
    return seconds <= bytes / 1000.0 + 1.0 && seconds >= bytes / 56000.0 - 1.0 ? announced : 0;
}

bool Mpg123Decoder::measureLinks()
{
    // Every frame is read (not decoded): its format, and the samples it holds. A run of frames in
    // one format makes a link once it is four frames long, so that a stray header in damaged data
    // changes nothing: its frames are dropped.
    std::vector<Link> found;
    Link run;
    LinkStart runStart;
    int runFrames = 0;
    const auto endRun = [&] {
        if (runFrames < 4)
            return;
        if (!found.empty() && found.back().format == run.format) {
            found.back().frames += run.frames;
            return;
        }
        found.push_back({run.format, run.frames, linkStarts.size()});
        linkStarts.push_back(runStart);
    };
    for (long frame = 0, failures = 0; failures < 64;) {
        const int result = mpg123_framebyframe_next(handle);
        mpg123_frameinfo2 info{};
        const int samples = mpg123_spf(handle);
        if (result == MPG123_DONE)
            break;
        if ((result != MPG123_OK && result != MPG123_NEW_FORMAT) ||
            mpg123_info(handle, &info) != MPG123_OK || samples <= 0) {
            ++failures;
            continue;
        }
        failures = 0;
        const Format format{static_cast<int>(info.rate), channelsOf(info.mode)};
        if (runFrames == 0 || format != run.format) {
            endRun();
            run = {format, 0, 0};
            runStart = {frame, samples};
            runFrames = 0;
        }
        run.frames += samples;
        ++runFrames;
        ++frame;
    }
    endRun();
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
