#include "VorbisDecoder.h"

#include <algorithm>
#include <unistd.h>

namespace
{

// No link, and no file, lasts more frames than this (over 280 days at 44.1 kHz), so that frames
// times any rate, or times 1000, stays far from overflowing.
constexpr int64_t mostFrames = int64_t{1} << 40;

} // namespace

// A link while open() goes through its pages.
struct VorbisDecoder::Scan {
    Span span;
    std::unique_ptr<VorbisStream> stream; // once its identification header is found
    int64_t position = 0;                 // where the pages so far end
    int64_t origin = -1;                  // the granule position of its first frame, once known
    int64_t lastClaim = -1;               // where the last page says it ends
    int64_t lastGranule = -1;
    int64_t packets = 0; // whole packets, counted on the pages
    long lastPageNumber = -1;
    bool ended = false;
};

std::unique_ptr<VorbisDecoder> VorbisDecoder::open(int fd)
{
    std::unique_ptr<VorbisDecoder> decoder(new VorbisDecoder);
    decoder->fd = fd;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size <= 0)
        return nullptr;
    decoder->reader = std::make_unique<OggPageReader>(fd, size);
    std::vector<Link> found;
    decoder->findLinks(found);
    decoder->setLinks(found);
    if (decoder->links().empty())
        return nullptr;
    return decoder;
}

VorbisDecoder::~VorbisDecoder()
{
    stream.reset();
    reader.reset();
    if (fd >= 0)
        ::close(fd);
}

void VorbisDecoder::findLinks(std::vector<Link>& found)
{
    std::unique_ptr<Scan> scan;
    bool lastBegan = false;
    ogg_page page;
    int64_t offset = 0;
    reader->seek(0);
    while (reader->next(page, offset)) {
        const bool begins = ogg_page_bos(&page);
        if (begins && !lastBegan) {
            if (scan)
                finishLink(*scan, offset, found);
            scan = std::make_unique<Scan>();
            scan->span.begin = offset;
        }
        lastBegan = begins;
        if (!scan)
            continue; // pages before any stream begins
        const int serial = ogg_page_serialno(&page);
        if (begins && !scan->stream) {
            auto candidate = std::make_unique<VorbisStream>(serial);
            candidate->takePage(page);
            if (candidate->hasFormat()) {
                scan->stream = std::move(candidate);
                scan->span.serial = serial;
                scan->lastPageNumber = ogg_page_pageno(&page);
            }
        } else if (scan->stream && serial == scan->span.serial && !scan->ended) {
            scanPage(*scan, page, offset, reader->skipped());
        }
    }
    if (scan)
        finishLink(*scan, offset, found);
}

void VorbisDecoder::scanPage(Scan& scan, ogg_page& page, int64_t offset, int64_t skipped)
{
    const long number = ogg_page_pageno(&page);
    // The pages lost before this one, by their sequence numbers, and the packets they can have
    // held: a page ends 255 at most, and a packet takes a byte at least of what was passed over.
    const int64_t lost = std::clamp<int64_t>(int64_t{number} - scan.lastPageNumber - 1, 1, 1 << 20);
    const int64_t lostPackets = skipped > 0 ? std::min(lost * 255, skipped) : lost * 255;
    scan.lastPageNumber = number;
    scan.ended = ogg_page_eos(&page);
    const int64_t granule = ogg_page_granulepos(&page);
    const std::vector<VorbisStream::Packet>& packets = scan.stream->takePage(page);
    if (ogg_page_packets(&page) > 0) {
        scan.packets += ogg_page_packets(&page);
        if (granule >= 0)
            scan.lastGranule = granule;
    }
    if (packets.empty())
        return;

    Page entry{offset, 0, 0, 0, static_cast<int>(packets.size())};
    for (const VorbisStream::Packet& packet : packets)
        entry.frames += packet.frames;
    const int64_t natural = scan.position + entry.frames;
    if (scan.origin < 0 && granule >= 0)
        scan.origin = std::max<int64_t>(0, granule - natural);
    // Where the page says its frames end, on the link's timeline.
    const int64_t claim =
        granule >= 0 && scan.origin >= 0 && granule >= scan.origin ? granule - scan.origin : -1;
    entry.start = scan.position;
    if (scan.span.pages.empty() && claim >= 0 && claim < natural && !scan.ended) {
        // The first page says to drop the first frames it yields.
        entry.start = claim - entry.frames;
    } else if (packets.front().afterHole && claim > natural) {
        // Pages were lost: they held what the granule positions say, as far as they can have
        // held (the first packet after them yields nothing, so it counts too).
        entry.start += std::min(
            {claim - natural, (lostPackets + 1) * scan.stream->longestPacket(), mostFrames});
    }
    entry.end = std::min(entry.start + entry.frames, mostFrames);
    scan.position = std::max<int64_t>(scan.position, entry.end);
    scan.lastClaim = claim;
    scan.span.pages.push_back(entry);
}

void VorbisDecoder::finishLink(Scan& scan, int64_t end, std::vector<Link>& found)
{
    if (!scan.stream)
        return;
    scan.span.end = end;
    int64_t frames = 0;
    if (scan.stream->state() == VorbisStream::State::Ready && !scan.span.pages.empty()) {
        // The last page trims the stream's end to where it says it ends.
        Page& last = scan.span.pages.back();
        if (scan.lastClaim >= std::max<int64_t>(last.start, 0) && scan.lastClaim < last.end)
            last.end = scan.lastClaim;
        frames = last.end;
        scan.span.playable = true;
    } else if (scan.lastGranule > 0) {
        // Without its headers, the link lasts as long as its last page says, as long as its
        // packets can last at most.
        frames = std::min(scan.lastGranule, scan.packets * scan.stream->longestPacket());
        scan.span.pages.clear();
    }
    int64_t total = 0;
    for (const Link& link : found)
        total += link.frames;
    frames = std::min(frames, mostFrames - total);
    if (frames <= 0)
        return;
    found.push_back({{scan.stream->rate(), scan.stream->channels()}, frames, spans.size()});
    spans.push_back(std::move(scan.span));
}

bool VorbisDecoder::enter(size_t link)
{
    current = link;
    stream.reset();
    packets = nullptr;
    inPage = false;
    pcmCount = pcmUsed = 0;
    silence = 0;
    at = 0;
    nextEntry = 0;
    Span& span = spans[links()[link].origin];
    if (!span.playable)
        return false;
    stream = std::make_unique<VorbisStream>(span.serial);
    reader->seek(span.begin);
    ogg_page page;
    int64_t offset = 0;
    while (stream->state() == VorbisStream::State::WantHeaders && reader->next(page, offset) &&
           offset < span.end) {
        if (ogg_page_serialno(&page) == span.serial)
            stream->takePage(page);
    }
    if (!stream->startSynthesis() || stream->rate() != links()[link].format.rate ||
        stream->channels() != links()[link].format.channels) {
        // It plays as silence, and is not tried again.
        span.playable = false;
        stream.reset();
        return false;
    }
    return true;
}

bool VorbisDecoder::nextPage()
{
    const Span& span = spans[links()[current].origin];
    ogg_page page;
    int64_t offset = 0;
    while (reader->next(page, offset) && offset < span.end) {
        if (ogg_page_serialno(&page) != span.serial)
            continue;
        const std::vector<VorbisStream::Packet>& got = stream->takePage(page);
        while (nextEntry < span.pages.size() && span.pages[nextEntry].offset < offset)
            ++nextEntry;
        if (got.empty() || nextEntry == span.pages.size() || span.pages[nextEntry].offset != offset)
            continue;
        const Page& entry = span.pages[nextEntry++];
        // What a read started afresh misses (the first packet's frames, a packet begun on the
        // page before) is missing from the page's start.
        int64_t produced = 0;
        for (const VorbisStream::Packet& packet : got)
            produced += packet.frames;
        frameAt = entry.start + (entry.frames - produced);
        pageEnd = entry.end;
        packets = &got;
        nextPacket = 0;
        inPage = true;
        pcmCount = pcmUsed = 0;
        return true;
    }
    return false;
}

int64_t VorbisDecoder::take(float* out, int64_t frames)
{
    const int channels = links()[current].format.channels;
    int64_t done = 0;
    while (done < frames) {
        if (silence > 0) {
            const int64_t count = std::min(silence, frames - done);
            std::fill(out + done * channels, out + (done + count) * channels, 0.0f);
            silence -= count;
            done += count;
            at += count;
        } else if (pcmUsed < pcmCount) {
            const int64_t available = pcmCount - pcmUsed;
            if (frameAt < at || frameAt >= pageEnd) {
                // Frames before where the read stands (a seek, a trimmed start) or past the
                // page's end (a trimmed end) are dropped.
                const int64_t drop =
                    frameAt >= pageEnd ? available : std::min(available, at - frameAt);
                pcmUsed += static_cast<int>(drop);
                frameAt += drop;
            } else if (frameAt > at) {
                silence = frameAt - at; // the stretch pages lost held
            } else {
                const int64_t count = std::min({available, frames - done, pageEnd - at});
                for (int64_t i = 0; i < count; ++i)
                    for (int c = 0; c < channels; ++c)
                        out[(done + i) * channels + c] = pcm[c][pcmUsed + i];
                pcmUsed += static_cast<int>(count);
                frameAt += count;
                done += count;
                at += count;
            }
        } else if (inPage && nextPacket < packets->size()) {
            pcmCount = stream->synthesize((*packets)[nextPacket++], &pcm);
            pcmUsed = 0;
        } else if (inPage) {
            // A page that decoded short plays silence for the rest of its frames.
            inPage = false;
            silence = std::max<int64_t>(0, pageEnd - at);
        } else if (!nextPage()) {
            break;
        }
    }
    return done;
}

int64_t VorbisDecoder::decode(size_t link, float* out, int64_t frames)
{
    if (link != current && !enter(link))
        return 0;
    if (!stream)
        return 0;
    return take(out, frames);
}

bool VorbisDecoder::seekTo(size_t link, int64_t frame)
{
    if (link != current && !enter(link))
        return true; // a link that plays as silence does so from anywhere in it
    if (!stream)
        return true;
    const std::vector<Page>& pages = spans[links()[link].origin].pages;
    const auto found = std::upper_bound(pages.begin(), pages.end(), frame,
                                        [](int64_t f, const Page& page) { return f < page.end; });
    if (found == pages.end())
        return false;
    // Decoding starts a page before (two when that one holds a single packet), so that the
    // frame's page comes out whole.
    auto from = static_cast<size_t>(found - pages.begin());
    if (from > 0)
        --from;
    if (from > 0 && pages[from].packets < 2)
        --from;
    stream->reset();
    reader->seek(pages[from].offset);
    nextEntry = from;
    at = frame;
    silence = 0;
    packets = nullptr;
    inPage = false;
    pcmCount = pcmUsed = 0;
    return true;
}
