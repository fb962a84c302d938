// VorbisDecoder: Ogg Vorbis on libogg and libvorbis, a link per stream of a chained file.
//
// VorbisLinks finds the links and where the frames of each page lie on its link's timeline;
// decoding follows that timeline page by page (VorbisStream decodes the packets), so that what a
// hole held plays as silence, frames a page trims are dropped, and a page that decodes short is
// made up with silence. A seek starts at the page before the frame's (two before when that one
// holds a single packet) and decodes forward to the frame. A link whose headers are lost plays
// as silence.
//
// Threads: open() runs on the thread that calls FormatSniffer::open (the GUI thread); decode() and
// seekTo() on the sound's read-ahead thread only, one at a time.
#pragma once

#include "Decoder.h"
#include "OggPageReader.h"
#include "VorbisLinks.h"
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
    using Page = VorbisLinks::Page;

    VorbisDecoder() = default;
    VorbisLinks::Link& span(size_t link);
    // Makes `link` the one decoded, its headers read, at its start; false when it plays as silence.
    bool enter(size_t link);
    // Takes in the link's next page with audio; false at the link's end.
    bool nextPage();
    int64_t take(float* out, int64_t frames);

    int fd = -1;
    std::unique_ptr<VorbisLinks> file;
    std::unique_ptr<OggPageReader> reader;

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
