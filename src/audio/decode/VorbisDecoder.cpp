#include "VorbisDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace
{

// Frames asked of libvorbisfile at a time.
constexpr int packetFrames = 4096;
// Holes in a row after which a link is given up.
constexpr int maxHoles = 64;

// libogg keeps a packet's bytes and its lacing values side by side: the bytes held equal the sum
// of the lacing sizes. On some damaged files libvorbisfile's page seek breaks that, and libogg's
// next page then moves a negative number of bytes. Checked after every call that can take in a
// page, so a broken stream is given up before libogg touches it again.
bool streamIntact(const ogg_stream_state& os)
{
    if (os.body_returned < 0 || os.body_returned > os.body_fill || os.lacing_returned < 0 ||
        os.lacing_returned > os.lacing_fill || os.lacing_fill > os.lacing_storage)
        return false;
    long held = 0;
    for (long i = 0; i < os.lacing_fill; ++i)
        held += os.lacing_vals[i] & 0xff;
    return held == os.body_fill;
}

uint32_t littleEndian32(const unsigned char* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// A link as the file's pages show it: where it starts, and what its identification header and
// the granule position of its last page say.
struct PagedLink {
    long long begin = 0;
    int serial = 0;
    bool vorbis = false;
    int rate = 0;
    int channels = 0;
    int64_t lastGranule = -1;
};

// Every page of the file in turn (`readNext` gives its bytes from the start), libogg checking
// each; a link starts at each run of pages that begin streams. Pages that fail their check are
// passed over.
template <typename ReadNext>
std::vector<PagedLink> readPages(ReadNext readNext)
{
    std::vector<PagedLink> found;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    long long offset = 0; // file offset of the next page libogg looks at
    bool lastBegan = false;
    for (;;) {
        ogg_page page;
        const long result = ogg_sync_pageseek(&sync, &page);
        if (result < 0) {
            offset -= result;
            continue;
        }
        if (result == 0) {
            char* buffer = ogg_sync_buffer(&sync, 65536);
            const size_t got = buffer ? readNext(buffer, 65536) : 0;
            if (got == 0)
                break;
            ogg_sync_wrote(&sync, static_cast<long>(got));
            continue;
        }
        const bool begins = ogg_page_bos(&page);
        if (begins && (!lastBegan || found.empty()))
            found.push_back({offset, 0, false, 0, 0, -1});
        lastBegan = begins;
        if (found.empty()) {
            offset += result;
            continue;
        }
        PagedLink& link = found.back();
        if (begins && !link.vorbis && page.body_len >= 16 &&
            std::memcmp(page.body, "\x01vorbis", 7) == 0) {
            link.vorbis = true;
            link.serial = ogg_page_serialno(&page);
            link.channels = page.body[11];
            link.rate =
                static_cast<int>(std::min<uint32_t>(littleEndian32(page.body + 12), 1u << 30));
        } else if (!begins && link.vorbis && ogg_page_serialno(&page) == link.serial &&
                   ogg_page_granulepos(&page) >= 0) {
            link.lastGranule = ogg_page_granulepos(&page);
        }
        offset += result;
    }
    ogg_sync_clear(&sync);
    return found;
}

// An Ogg page header whose bytes start at `header` (`available` of them in the file from there):
// its size, or 0 when it is no page header.
size_t pageSize(const unsigned char* header, size_t available)
{
    if (available < 27 || std::memcmp(header, "OggS", 4) != 0 || header[4] != 0)
        return 0;
    const size_t segments = header[26];
    size_t size = 27 + segments;
    for (size_t i = 0; i < segments && 27 + i < available; ++i)
        size += header[27 + i];
    return size;
}

} // namespace

size_t VorbisDecoder::readSource(void* out, size_t size, size_t count, void* handle)
{
    auto* source = static_cast<Source*>(handle);
    if (size == 0 || source->at >= source->end)
        return 0;
    const size_t wanted = static_cast<size_t>(
        std::min<long long>(static_cast<long long>(size * count), source->end - source->at));
    char* bytes = static_cast<char*>(out);
    size_t done = 0;
    while (done < wanted) {
        const long long at = source->at + static_cast<long long>(done);
        if (source->tail && at >= source->tailAt) {
            const auto from = static_cast<size_t>(at - source->tailAt);
            const size_t count = std::min(wanted - done, source->tail->size() - from);
            std::memcpy(bytes + done, source->tail->data() + from, count);
            done += count;
            break;
        }
        size_t part = wanted - done;
        if (source->tail)
            part = std::min(part, static_cast<size_t>(source->tailAt - at));
        const ssize_t got = ::pread(source->fd, bytes + done, part, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    source->at += static_cast<long long>(done);
    return done / size;
}

int VorbisDecoder::seekSource(void* handle, ogg_int64_t offset, int whence)
{
    auto* source = static_cast<Source*>(handle);
    const long long base = whence == SEEK_SET   ? source->begin
                           : whence == SEEK_CUR ? source->at
                           : whence == SEEK_END ? source->end
                                                : -1;
    if (base < 0 || base + offset < source->begin || base + offset > source->end)
        return -1;
    source->at = base + offset;
    return 0;
}

long VorbisDecoder::tellSource(void* handle)
{
    auto* source = static_cast<Source*>(handle);
    return static_cast<long>(source->at - source->begin);
}

bool VorbisDecoder::openStream(Stream& stream, const Source& range)
{
    closeStream(stream);
    stream.source = range;
    stream.source.at = stream.source.begin;
    // The descriptor stays ours: the close callback is left out.
    const ov_callbacks callbacks{readSource, seekSource, nullptr, tellSource};
    if (ov_open_callbacks(&stream.source, &stream.file, nullptr, 0, callbacks) != 0)
        return false;
    stream.open = true;
    return ov_seekable(&stream.file) && streamIntact(stream.file.os);
}

void VorbisDecoder::closeStream(Stream& stream)
{
    if (stream.open)
        ov_clear(&stream.file);
    stream.open = false;
    stream.broken = false;
    stream.at = 0;
    stream.tellOrigin = 0;
    stream.pending = nullptr;
    stream.pendingCount = stream.pendingUsed = 0;
    stream.silence = 0;
    stream.placeAtFirst = false;
    stream.holding = false;
    stream.held.clear();
    stream.heldUsed = 0;
}

std::unique_ptr<VorbisDecoder> VorbisDecoder::open(int fd)
{
    std::unique_ptr<VorbisDecoder> decoder(new VorbisDecoder);
    decoder->fd = fd;
    const off_t fileSize = ::lseek(fd, 0, SEEK_END);
    if (fileSize <= 0)
        return nullptr;
    const long long size = decoder->repairTail(fileSize);
    std::vector<Link> found;
    if (!decoder->findLinksWhole(size, found))
        decoder->findLinksByPages(size, found);
    decoder->setLinks(found);
    if (decoder->links().empty())
        return nullptr;
    return decoder;
}

VorbisDecoder::Source VorbisDecoder::bytes(long long begin, long long end) const
{
    return {fd, begin, end, begin, tail.empty() ? nullptr : &tail, tailAt};
}

long long VorbisDecoder::repairTail(long long fileSize)
{
    // The last page header in the file's last 64 kB (a page is at most 65 307 bytes).
    const auto window = static_cast<size_t>(std::min<long long>(fileSize, 65536 + 27 + 255));
    std::vector<unsigned char> end(window);
    if (::pread(fd, end.data(), window, fileSize - static_cast<long long>(window)) !=
        static_cast<ssize_t>(window))
        return fileSize;
    size_t page = window;
    size_t size = 0;
    while (page-- > 0 && !(size = pageSize(end.data() + page, window - page)))
        ;
    if (size == 0 || page + size <= window)
        return fileSize; // no page, or the last one is whole
    const long long pageAt = fileSize - static_cast<long long>(window - page);
    const unsigned char* header = end.data() + page;
    const size_t available = window - page;
    const size_t segments = available > 26 ? header[26] : 0;
    tailAt = pageAt;
    if (available < 27 + segments)
        return pageAt; // cut inside the header: nothing of the page can be read

    // What libvorbisfile makes of the file without that page says which stream it belongs to,
    // how its packets are framed and where the page before it ended.
    Stream probe;
    if (!openStream(probe, bytes(0, pageAt))) {
        closeStream(probe);
        return pageAt;
    }
    const OggVorbis_File& file = probe.file;
    const int last = file.links - 1;
    vorbis_info* info = &file.vi[last];
    const int64_t previous = file.pcmlengths[2 * last] + file.pcmlengths[2 * last + 1];
    const bool sameStream =
        last >= 0 && file.serialnos[last] == static_cast<long>(littleEndian32(header + 14));
    const bool firstAudioPage = previous == 0;

    // The packets that end within the bytes there are, and the frames they make: a packet gives
    // a quarter of its block and a quarter of the one before (the first packet of a stream none).
    // The packet before the first one here is taken to be like it.
    size_t kept = 0;
    size_t keptBytes = 0;
    int64_t frames = 0;
    long previousBlock = firstAudioPage ? 0 : -1;
    const bool continued = header[5] & 0x01;
    for (size_t i = 0, packetStart = 0, used = 0; sameStream && i < segments; ++i) {
        used += header[27 + i];
        if (27 + segments + used > available)
            break;
        if (header[27 + i] == 255)
            continue;
        ogg_packet packet{};
        packet.packet = const_cast<unsigned char*>(header + 27 + segments + packetStart);
        packet.bytes = static_cast<long>(used - packetStart);
        long block = continued && packetStart == 0 ? -1 : vorbis_packet_blocksize(info, &packet);
        if (block == OV_ENOTAUDIO || block == OV_EBADPACKET)
            break;
        if (block < 0)
            block = vorbis_info_blocksize(info, 1);
        if (previousBlock < 0)
            previousBlock = block;
        frames += previousBlock == 0 ? 0 : (previousBlock + block) / 4;
        previousBlock = block;
        kept = i + 1;
        keptBytes = used;
        packetStart = used;
    }
    closeStream(probe);
    if (kept == 0)
        return pageAt;

    // The page again, with those packets only, its granule position where they end.
    tail.assign(header, header + 27 + kept);
    tail[5] &= ~0x04; // no longer the end of the stream
    tail[26] = static_cast<unsigned char>(kept);
    const int64_t granule = previous + frames;
    for (int i = 0; i < 8; ++i)
        tail[6 + static_cast<size_t>(i)] = static_cast<unsigned char>(granule >> (8 * i));
    tail.insert(tail.end(), header + 27 + segments, header + 27 + segments + keptBytes);
    ogg_page repaired{tail.data(), 27 + static_cast<long>(kept), tail.data() + 27 + kept,
                      static_cast<long>(keptBytes)};
    ogg_page_checksum_set(&repaired);
    return pageAt + static_cast<long long>(tail.size());
}

bool VorbisDecoder::findLinksWhole(long long size, std::vector<Link>& found)
{
    Stream probe;
    const bool opened = openStream(probe, bytes(0, size));
    const OggVorbis_File& file = probe.file;
    const long count = opened ? file.links : 0;
    for (long i = 0; i < count; ++i) {
        const vorbis_info* info = ov_info(&probe.file, static_cast<int>(i));
        const ogg_int64_t frames = ov_pcm_total(&probe.file, static_cast<int>(i));
        if (!info || info->channels <= 0 || info->rate <= 0 || info->rate > INT32_MAX ||
            frames < 0) {
            found.clear();
            spans.clear();
            break;
        }
        found.push_back({{static_cast<int>(info->rate), info->channels}, frames, spans.size()});
        // libvorbisfile keeps where each link starts; the last one ends with the file.
        spans.push_back({file.offsets[i], i + 1 < count ? file.offsets[i + 1] : size, true});
    }
    closeStream(probe);
    return !found.empty();
}

void VorbisDecoder::findLinksByPages(long long size, std::vector<Link>& found)
{
    Source whole = bytes(0, size);
    const std::vector<PagedLink> paged =
        readPages([&](char* out, size_t count) { return readSource(out, 1, count, &whole); });
    // Each link as its pages tell it: its format from its identification header, its length
    // from the granule position of its last page. Whether it decodes is found when it plays: one
    // whose headers are lost plays as silence of that length.
    for (size_t i = 0; i < paged.size(); ++i) {
        const PagedLink& link = paged[i];
        const long long end = i + 1 < paged.size() ? paged[i + 1].begin : size;
        if (link.vorbis && link.lastGranule > 0 && link.channels > 0) {
            found.push_back({{link.rate, link.channels}, link.lastGranule, spans.size()});
            spans.push_back({link.begin, end, true});
        }
    }
}

VorbisDecoder::~VorbisDecoder()
{
    for (Stream& stream : streams)
        closeStream(stream);
    if (fd >= 0)
        ::close(fd);
}

VorbisDecoder::Stream* VorbisDecoder::enterLink(size_t link)
{
    Span& span = spans[links()[link].origin];
    if (!span.decodable)
        return nullptr;
    for (Stream& stream : streams) {
        if (stream.open && stream.link == link) {
            if (seekWithin(stream, 0)) {
                stream.lastUse = ++uses;
                return &stream;
            }
            closeStream(stream);
        }
    }
    // The link used longest ago makes room.
    Stream& slot =
        *std::min_element(streams.begin(), streams.end(), [](const Stream& a, const Stream& b) {
            return a.open == b.open ? a.lastUse < b.lastUse : !a.open;
        });
    const vorbis_info* info =
        openStream(slot, bytes(span.begin, span.end)) ? ov_info(&slot.file, -1) : nullptr;
    // libvorbisfile counts from the link's first granule position, which is not always 0.
    const int64_t origin = info ? ov_pcm_tell(&slot.file) : -1;
    if (!info || info->channels != links()[link].format.channels ||
        info->rate != links()[link].format.rate || origin < 0) {
        // It plays as silence, and is not tried again.
        closeStream(slot);
        span.decodable = false;
        return nullptr;
    }
    slot.link = link;
    slot.tellOrigin = origin;
    slot.lastUse = ++uses;
    return &slot;
}

bool VorbisDecoder::pull(Stream& stream)
{
    stream.pending = nullptr;
    stream.pendingCount = stream.pendingUsed = 0;
    stream.held.clear();
    stream.heldUsed = 0;
    const int channels = links()[stream.link].format.channels;
    for (int holes = 0; stream.open && !stream.broken;) {
        int section = 0;
        const int64_t tellBefore = ov_pcm_tell(&stream.file);
        const long got = ov_read_float(&stream.file, &stream.pending, packetFrames, &section);
        stream.broken = !streamIntact(stream.file.os);
        if (got == OV_HOLE) {
            // Pages lost to damage: libvorbisfile carries on behind them, but counts the frames
            // of the next page from where the hole began until that page's granule position sets
            // its count right. Those frames are held back until then.
            if (++holes > maxHoles)
                return false;
            stream.holding = true;
            stream.holdPage = stream.file.os.pageno;
            continue;
        }
        const bool ended = got <= 0 || stream.broken;
        if (stream.holding && !ended && stream.file.os.pageno == stream.holdPage) {
            for (long i = 0; i < got; ++i)
                for (int c = 0; c < channels; ++c)
                    stream.held.push_back(stream.pending[c][i]);
            continue;
        }
        if (ended) {
            stream.pendingCount = 0;
            if (!stream.holding || stream.held.empty())
                return false;
        } else {
            stream.pendingCount = got;
        }
        // Where the frames belong by libvorbisfile's count: after a page seek, that is where the
        // decoder stands; otherwise a jump is what a hole held, and that much silence comes
        // first. Frames held back after a hole end where the count stood before this read.
        const auto heldFrames = static_cast<int64_t>(stream.held.size()) / channels;
        const int64_t first =
            (stream.holding ? (ended ? ov_pcm_tell(&stream.file) : tellBefore) - heldFrames
                            : ov_pcm_tell(&stream.file) - got) -
            stream.tellOrigin;
        if (stream.placeAtFirst)
            stream.at = first;
        else if (first > stream.at)
            // None past the link's end, where a damaged page can have put the count already.
            stream.silence = std::max<int64_t>(
                0, std::min(first - stream.at, links()[stream.link].frames - stream.at));
        stream.placeAtFirst = false;
        stream.holding = false;
        return true;
    }
    return false;
}

int64_t VorbisDecoder::take(Stream& stream, float* out, int64_t frames)
{
    const int channels = links()[stream.link].format.channels;
    int64_t done = 0;
    while (done < frames) {
        const int64_t heldLeft =
            static_cast<int64_t>(stream.held.size()) / channels - stream.heldUsed;
        if (stream.silence == 0 && heldLeft == 0 && stream.pendingUsed == stream.pendingCount) {
            if (!pull(stream))
                break;
            continue;
        }
        int64_t count = 0;
        if (stream.silence > 0) {
            count = std::min(stream.silence, frames - done);
            if (out)
                std::fill(out + done * channels, out + (done + count) * channels, 0.0f);
            stream.silence -= count;
        } else if (heldLeft > 0) {
            count = std::min(heldLeft, frames - done);
            if (out)
                std::copy_n(stream.held.begin() + stream.heldUsed * channels, count * channels,
                            out + done * channels);
            stream.heldUsed += count;
        } else {
            count = std::min<int64_t>(stream.pendingCount - stream.pendingUsed, frames - done);
            if (out) {
                for (int64_t i = 0; i < count; ++i)
                    for (int c = 0; c < channels; ++c)
                        out[(done + i) * channels + c] = stream.pending[c][stream.pendingUsed + i];
            }
            stream.pendingUsed += static_cast<long>(count);
        }
        // Nothing to give that pull() would not be asked for: stop rather than spin.
        if (count <= 0)
            break;
        done += count;
        stream.at += count;
    }
    return done;
}

bool VorbisDecoder::seekWithin(Stream& stream, int64_t frame)
{
    // libvorbisfile's exact seek (ov_pcm_seek) can leave libogg's stream state broken on a
    // damaged file, and its next page then crashes in a memmove. Seeking to the page before the
    // frame and decoding forward on the ordinary read path lands on the same frame.
    stream.pending = nullptr;
    stream.pendingCount = stream.pendingUsed = 0;
    stream.silence = 0;
    stream.holding = false;
    stream.held.clear();
    stream.heldUsed = 0;
    if (stream.broken || !seekToPage(stream, frame + stream.tellOrigin) ||
        (stream.broken = !streamIntact(stream.file.os)))
        return false;
    // libvorbisfile knows where it stands once it has decoded the page's first packet.
    stream.placeAtFirst = true;
    if (!pull(stream) || stream.at < 0)
        return false;
    if (stream.at > frame) {
        // The frame lies in a hole: its silence lasts until the first frame decoded.
        stream.silence += stream.at - frame;
        stream.at = frame;
        return true;
    }
    const int64_t before = frame - stream.at;
    return take(stream, nullptr, before) == before;
}

bool VorbisDecoder::seekToPage(Stream& stream, int64_t position)
{
    // ov_pcm_seek_page looks for the last page before the position by bisection. When none is
    // before it (the position lies on the link's first page of audio), it takes in the page it
    // read last; but reads after that one may have moved libogg's buffer under it, and on a
    // damaged file libogg then copies a negative number of bytes and breaks the heap. So the
    // first page with a granule position is looked up here, as libogg reads pages, and a
    // position not past it starts from the first page of audio with a raw seek instead.
    OggVorbis_File& file = stream.file;
    if (position < 0 || position > ov_pcm_total(&file, -1))
        return false;
    // The link (of those libvorbisfile found in the stream) and its granule position, as the
    // page seek works them out.
    int link = file.links - 1;
    int64_t total = ov_pcm_total(&file, -1);
    for (; link > 0; --link) {
        total -= file.pcmlengths[link * 2 + 1];
        if (position >= total)
            break;
    }
    if (link == 0)
        total = 0;
    const int64_t target = position - total + file.pcmlengths[link * 2];

    Source source = stream.source;
    source.at = source.begin + file.dataoffsets[link];
    const long long end = std::min(source.end, source.begin + file.offsets[link + 1]);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    int64_t firstGranule = -1;
    // A granule position is on the first page of audio or close after it; one not found in
    // this many bytes is taken as none.
    long long budget = 256 * 1024;
    while (firstGranule < 0 && source.at < end && budget > 0) {
        ogg_page page;
        const int found = ogg_sync_pageout(&sync, &page);
        if (found == 1) {
            if (ogg_page_serialno(&page) == file.serialnos[link])
                firstGranule = ogg_page_granulepos(&page);
            continue;
        }
        if (found < 0)
            continue; // bytes skipped to the next page, as libogg does for libvorbisfile
        const long want = static_cast<long>(std::min<long long>(4096, end - source.at));
        char* buffer = ogg_sync_buffer(&sync, want);
        const size_t got = buffer ? readSource(buffer, 1, static_cast<size_t>(want), &source) : 0;
        if (got == 0)
            break;
        ogg_sync_wrote(&sync, static_cast<long>(got));
        budget -= static_cast<long long>(got);
    }
    ogg_sync_clear(&sync);

    if (firstGranule >= 0 && firstGranule < target)
        return ov_pcm_seek_page(&file, position) == 0;
    return ov_raw_seek(&file, file.dataoffsets[link]) == 0;
}

int64_t VorbisDecoder::decode(size_t link, float* out, int64_t frames)
{
    if (!current || !current->open || current->link != link)
        current = enterLink(link);
    if (!current)
        return 0;
    current->lastUse = ++uses;
    return take(*current, out, frames);
}

bool VorbisDecoder::seekTo(size_t link, int64_t frame)
{
    current = nullptr;
    for (Stream& stream : streams) {
        if (stream.open && stream.link == link)
            current = &stream;
    }
    if (!current)
        current = enterLink(link);
    // A link that does not open plays as silence, from anywhere in it.
    if (!current)
        return true;
    current->lastUse = ++uses;
    return seekWithin(*current, frame);
}
