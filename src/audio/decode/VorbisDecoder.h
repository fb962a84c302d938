// VorbisDecoder: Ogg Vorbis on libogg and libvorbis, a link per stream of a chained file.
//
// open() goes once through the file's pages (OggPageReader: libogg checks each page). A run of
// pages that begin streams starts a link; its Vorbis stream (VorbisStream) reads its headers and
// counts the frames each page's packets yield, without decoding them. That count, not the
// granule positions the pages claim, says how long a link lasts: a page that claims more than
// its packets hold is not believed, except across a hole (pages lost to damage: the stretch they
// held plays as silence, up to what that many pages can hold). A link whose headers are lost
// plays as silence for as long as its last granule position says, no longer than its packets can
// last. Each page with audio is kept with where its frames lie, so that decoding follows the
// same timeline and a seek starts one page before the frame and decodes forward to it.
//
// Threads: open() runs on the thread that calls FormatSniffer::open (the GUI thread); decode() and
// seekTo() on the sound's read-ahead thread only, one at a time.
#pragma once

#include "Decoder.h"
#include "OggPageReader.h"
#include "VorbisStream.h"

#include <memory>
#include <vector>

class VorbisDecoder : public Decoder
{
public:
    // Takes ownership of `fd` (a regular file) in every case. Null when it holds no Vorbis stream
    // with anything to play.
    static std::unique_ptr<VorbisDecoder> open(int fd);
    ~VorbisDecoder() override;

protected:
    int64_t decode(size_t link, float* out, int64_t frames) override;
    bool seekTo(size_t link, int64_t frame) override;

private:
    // A page with audio packets, and where their frames lie on its link's own timeline.
    struct Page {
        int64_t offset = 0;
        // Where its frames start when the pages before it were decoded: before 0 on a first page
        // that says to drop the stream's first frames; after the page before's end across a hole.
        int64_t start = 0;
        int64_t end = 0; // frames from here on are dropped (the stream's last page trims its end)
        int frames = 0;  // the frames its packets yield after the pages before it
        int packets = 0;
    };
    struct Span {
        int64_t begin = 0; // the link's bytes
        int64_t end = 0;
        int serial = 0;
        bool playable = false; // its headers read: false plays it as silence
        std::vector<Page> pages;
    };
    struct Scan;

    VorbisDecoder() = default;
    // The pass of open(): every link, its span and its pages.
    void findLinks(std::vector<Link>& found);
    // Counts a page of the link's Vorbis stream; `skipped` bytes were passed over before it.
    static void scanPage(Scan& scan, ogg_page& page, int64_t offset, int64_t skipped);
    void finishLink(Scan& scan, int64_t end, std::vector<Link>& found);

    // Makes `link` the one decoded, its headers read, at its start; false when it plays as silence.
    bool enter(size_t link);
    // Takes in the link's next page with audio; false at the link's end.
    bool nextPage();
    int64_t take(float* out, int64_t frames);

    int fd = -1;
    std::unique_ptr<OggPageReader> reader;
    std::vector<Span> spans;

    // The link being decoded.
    size_t current = SIZE_MAX;
    std::unique_ptr<VorbisStream> stream;
    size_t nextEntry = 0; // the page the link's next page with audio is looked up from
    int64_t at = 0;       // the link's frame take() gives next
    int64_t silence = 0;  // frames of silence to give before anything else
    // The page being decoded: its packets, the next to decode, where the next frame decoded
    // lies and where the page's frames end.
    const std::vector<VorbisStream::Packet>* packets = nullptr;
    size_t nextPacket = 0;
    int64_t frameAt = 0;
    int64_t pageEnd = 0;
    bool inPage = false;
    float** pcm = nullptr;
    int pcmCount = 0;
    int pcmUsed = 0;
};
