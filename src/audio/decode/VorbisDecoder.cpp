#include "VorbisDecoder.h"

#include <algorithm>
#include <unistd.h>

namespace
{

constexpr int64_t countAheadBytes = 256 * 1024;

} // namespace

std::unique_ptr<VorbisDecoder> VorbisDecoder::open(int fd)
{
    std::unique_ptr<VorbisDecoder> decoder(new VorbisDecoder);
    decoder->fd = fd;
    const off_t fileSize = ::lseek(fd, 0, SEEK_END);
    if (fileSize <= 0)
        return nullptr;
    // Zeros after the pages (a download not finished) are not part of the file.
    const int64_t size = endOfWrittenBytes(fd, 0, fileSize);
    decoder->file = std::make_unique<VorbisLinks>(fd, size, decoder->interruption());
    decoder->reader = std::make_unique<OggPageReader>(fd, size, decoder->interruption());
    decoder->file->find();
    std::vector<Link> found;
    for (const VorbisLinks::Link& link : decoder->file->links())
        found.push_back({{link.rate, link.channels}, link.frames, found.size()});
    decoder->setLinks(found);
    if (decoder->links().empty())
        return nullptr;
    return decoder;
}

VorbisDecoder::~VorbisDecoder()
{
    stream.reset();
    reader.reset();
    file.reset();
    if (fd >= 0)
        ::close(fd);
}

VorbisLinks::Link& VorbisDecoder::span(size_t link)
{
    return file->links()[links()[link].origin];
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
    VorbisLinks::Link& span = this->span(link);
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
    const VorbisLinks::Link& span = this->span(current);
    ogg_page page;
    int64_t offset = 0;
    while (reader->next(page, offset) && offset < span.end) {
        if (ogg_page_serialno(&page) != span.serial)
            continue;
        const std::vector<VorbisStream::Packet>& got = stream->takePage(page);
        // Pages not counted yet are counted a stretch ahead at a time.
        const std::vector<Page>& pages =
            file->index(links()[current].origin, -1, offset + countAheadBytes);
        while (nextEntry < pages.size() && pages[nextEntry].offset < offset)
            ++nextEntry;
        if (got.empty() || nextEntry == pages.size() || pages[nextEntry].offset != offset)
            continue;
        const Page& entry = pages[nextEntry++];
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
    const std::vector<Page>& pages = file->index(links()[link].origin, frame, 0);
    const auto found = std::upper_bound(pages.begin(), pages.end(), frame,
                                        [](int64_t f, const Page& page) { return f < page.end; });
    if (found == pages.end())
        return false;
    // Decoding starts at the frame's page when the frame lies past what a fresh start misses
    // there (the packet begun on the page before, the first packet's frames); otherwise a page
    // before, two when that one holds a single packet.
    auto from = static_cast<size_t>(found - pages.begin());
    if (frame - found->start < 2 * int64_t{stream->longestPacket()}) {
        if (from > 0)
            --from;
        if (from > 0 && pages[from].packets < 2)
            --from;
    }
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
