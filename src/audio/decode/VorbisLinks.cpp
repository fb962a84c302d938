#include "VorbisLinks.h"

#include "VorbisStream.h"

#include <algorithm>

namespace
{

// No link, and no file, lasts more frames than this (over 280 days at 44.1 kHz), so that frames
// times any rate, or times 1000, stays far from overflowing.
constexpr int64_t mostFrames = int64_t{1} << 40;
// Room for the two largest pages there are.
constexpr int64_t tailBytes = 2 * (27 + 255 + 255 * 255);

int64_t sizeOf(const ogg_page& page)
{
    return page.header_len + page.body_len;
}

} // namespace

// A link's pages being counted.
struct VorbisLinks::Scan {
    std::unique_ptr<VorbisStream> stream; // once its identification header is found
    int64_t position = 0;                 // where the pages so far end
    int64_t origin = -1;                  // the granule position of its first frame, once known
    int64_t lastClaim = -1;               // where the last page says it ends
    int64_t lastGranule = -1;
    int64_t packets = 0; // whole packets, counted on the pages
    long lastPageNumber = -1;
    bool ended = false;
    int64_t next = 0; // the offset of the page after the last one counted
};

VorbisLinks::VorbisLinks(int fd, int64_t size, const std::atomic<bool>& stop)
    : size(size), reader(fd, size, stop)
{
}

VorbisLinks::~VorbisLinks() = default;

void VorbisLinks::find()
{
    found.clear();
    if (!findOneLink()) {
        found.clear();
        readThrough();
    }
    int64_t total = 0;
    for (Link& link : found) {
        link.frames = std::clamp<int64_t>(link.frames, 0, mostFrames - total);
        total += link.frames;
    }
}

void VorbisLinks::readThrough()
{
    std::shared_ptr<Scan> scan;
    bool lastBegan = false;
    ogg_page page;
    int64_t offset = 0;
    reader.seek(0);
    while (reader.next(page, offset)) {
        const bool begins = ogg_page_bos(&page);
        if (begins && !lastBegan) {
            if (scan)
                finish(found.back());
            scan = std::make_shared<Scan>();
            found.push_back({});
            found.back().begin = offset;
            found.back().rest = scan;
        }
        lastBegan = begins;
        if (!scan)
            continue; // pages before any stream begins
        Link& link = found.back();
        const int serial = ogg_page_serialno(&page);
        link.end = offset + sizeOf(page);
        if (begins && !scan->stream) {
            auto candidate = std::make_unique<VorbisStream>(serial);
            candidate->takePage(page);
            if (candidate->hasFormat()) {
                scan->stream = std::move(candidate);
                link.serial = serial;
                scan->lastPageNumber = ogg_page_pageno(&page);
            }
        } else if (scan->stream && serial == link.serial && !scan->ended) {
            count(*scan, link.pages, page, offset, reader.skipped());
        }
    }
    if (scan)
        finish(found.back());
    // Links without a Vorbis stream or anything to play are left out.
    std::erase_if(found, [](const Link& link) { return link.frames <= 0 || link.rate <= 0; });
}

bool VorbisLinks::findOneLink()
{
    // The start: the link's headers and its first page with audio and a granule position.
    auto scan = std::make_shared<Scan>();
    Link link;
    ogg_page page;
    int64_t offset = 0;
    reader.seek(0);
    bool pastBeginnings = false;
    while (scan->origin < 0 || link.pages.empty()) {
        if (!reader.next(page, offset))
            return false;
        const int serial = ogg_page_serialno(&page);
        if (ogg_page_bos(&page)) {
            if (pastBeginnings)
                return false; // another link begins
            if (!scan->stream) {
                auto candidate = std::make_unique<VorbisStream>(serial);
                candidate->takePage(page);
                if (candidate->hasFormat()) {
                    scan->stream = std::move(candidate);
                    link.serial = serial;
                    link.begin = offset;
                    scan->lastPageNumber = ogg_page_pageno(&page);
                }
            }
        } else {
            pastBeginnings = true;
            if (!scan->stream)
                return false; // no Vorbis stream begins the file
            if (serial == link.serial)
                count(*scan, link.pages, page, offset, reader.skipped());
            if (scan->stream->state() == VorbisStream::State::Broken)
                return false;
        }
        scan->next = offset + sizeOf(page);
    }
    // The end: the last two pages of the stream with packets, and no other stream beginning
    // there, in the file's last 16 kB or else in room for the two largest pages there are.
    VorbisStream counter(link.serial);
    int64_t last[2] = {-1, -1};
    for (const int64_t window : {int64_t{16384}, tailBytes}) {
        if (size - scan->next < window)
            return false; // a short file is read through
        last[0] = last[1] = -1;
        reader.seek(size - window);
        while (reader.next(page, offset)) {
            if (ogg_page_bos(&page) || ogg_page_serialno(&page) != link.serial)
                return false;
            if (ogg_page_packets(&page) > 0) {
                last[0] = last[1];
                last[1] = offset;
            }
        }
        if (last[0] >= 0)
            break;
    }
    if (last[0] < 0)
        return false;
    // The headers again, then the two pages: the first says where the last one's frames start,
    // and the block its last packet ends with.
    reader.seek(0);
    while (counter.state() == VorbisStream::State::WantHeaders && reader.next(page, offset)) {
        if (ogg_page_serialno(&page) == link.serial)
            counter.takePage(page);
    }
    int64_t granule[2] = {-1, -1};
    int64_t frames = 0;
    counter.reset();
    for (int i = 0; i < 2; ++i) {
        reader.seek(last[i]);
        if (!reader.next(page, offset) || offset != last[i])
            return false;
        granule[i] = ogg_page_granulepos(&page);
        frames = 0;
        for (const VorbisStream::Packet& packet : counter.takePage(page))
            frames += packet.frames;
    }
    if (granule[0] < scan->origin || granule[1] < 0)
        return false; // a file cut short, or pages out of order: read through
    const int64_t before = std::min(granule[0] - scan->origin, mostFrames);
    const int64_t claim = granule[1] - scan->origin;
    // The last page is believed when it trims its packets' frames; one that claims more than
    // they hold (or less than the page before) has every page counted instead.
    if (claim < before || claim > before + frames)
        return false;
    // Nor is the page before believed beyond what the link's bytes can hold: a packet takes a
    // byte at least.
    link.frames = std::min(claim, std::min(size - link.begin, mostFrames) *
                                      int64_t{scan->stream->longestPacket()});
    link.end = size;
    link.rate = scan->stream->rate();
    link.channels = scan->stream->channels();
    link.playable = true;
    link.rest = scan;
    found.push_back(std::move(link));
    return true;
}

void VorbisLinks::count(Scan& scan, std::vector<Page>& pages, ogg_page& page, int64_t offset,
                        int64_t skipped)
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
    if (pages.empty() && claim >= 0 && claim < natural && !scan.ended) {
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
    pages.push_back(entry);
}

void VorbisLinks::finish(Link& link)
{
    const std::shared_ptr<Scan> scan = std::move(link.rest);
    if (!scan || !scan->stream)
        return;
    link.rate = scan->stream->rate();
    link.channels = scan->stream->channels();
    if (scan->stream->state() == VorbisStream::State::Ready && !link.pages.empty()) {
        // The last page trims the stream's end to where it says it ends.
        Page& last = link.pages.back();
        if (scan->lastClaim >= std::max<int64_t>(last.start, 0) && scan->lastClaim < last.end)
            last.end = scan->lastClaim;
        link.frames = last.end;
        link.playable = true;
    } else if (scan->lastGranule > 0) {
        // Without its headers, the link lasts as long as its last page says, as long as its
        // packets can last at most.
        link.frames = std::min(scan->lastGranule, scan->packets * scan->stream->longestPacket());
        link.pages.clear();
    }
}

const std::vector<VorbisLinks::Page>& VorbisLinks::index(size_t which, int64_t frame,
                                                         int64_t offset)
{
    Link& link = found[which];
    const auto counted = [&] {
        return !link.pages.empty() && link.pages.back().end > frame &&
               link.pages.back().offset >= offset;
    };
    if (!link.rest || counted())
        return link.pages;
    // The rest of a link found from its start and its end, counted as far as needed. Its length
    // stays what open() said: where the count disagrees, the decoder base makes up the
    // difference.
    Scan& scan = *link.rest;
    const int64_t frames = link.frames;
    reader.seek(scan.next);
    ogg_page page;
    int64_t at = 0;
    while (!counted()) {
        if (!reader.next(page, at) || ogg_page_bos(&page)) {
            finish(link);
            break;
        }
        scan.next = at + sizeOf(page);
        if (ogg_page_serialno(&page) == link.serial && !scan.ended)
            count(scan, link.pages, page, at, reader.skipped());
    }
    link.frames = frames;
    return link.pages;
}
