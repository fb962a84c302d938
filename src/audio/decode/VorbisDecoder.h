// VorbisDecoder: Ogg Vorbis through libvorbisfile, a link per stream of a chained file.
//
// Each link is read on its own, libvorbisfile seeing only that link's bytes, so neither a link's
// format nor its damage can spill over into the next. The links are found by libvorbisfile's
// open of the whole file; where that fails (a damaged link), by going through the file's pages,
// which give each link's format and duration. A link that does not open plays as silence of its
// duration. Inside a link, a hole (pages lost to damage) plays as silence
// of the frames it held, and a stream whose state libogg loses plays silence to its end.
//
// Threads: open() runs on the thread that calls FormatSniffer::open (the GUI thread); decode() and
// seekTo() on the sound's read-ahead thread only, one at a time.
#pragma once

#include "Decoder.h"

#include <memory>

#include <vorbis/vorbisfile.h>

#include <array>
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
    // The bytes libvorbisfile reads through its callbacks: one link's, or the whole file's. From
    // `tailAt` on they come from `tail` (the repaired last page of a file cut short).
    struct Source {
        int fd = -1;
        long long begin = 0;
        long long end = 0;
        long long at = 0;
        const std::vector<unsigned char>* tail = nullptr;
        long long tailAt = 0;
    };
    struct Span {
        long long begin = 0;
        long long end = 0;
        bool decodable = true; // false once it failed to open: it plays as silence
    };

    // One link opened in libvorbisfile, and where its decoding stands.
    struct Stream {
        Source source;
        OggVorbis_File file{};
        bool open = false;
        size_t link = 0;
        // libogg's stream state went wrong on a damaged file: the link plays as silence from here.
        bool broken = false;
        int64_t at = 0;            // the link's frame the next take() gives
        int64_t tellOrigin = 0;    // libvorbisfile's count at the link's first frame
        int64_t silence = 0;       // frames of a hole still to give before the pending ones
        bool placeAtFirst = false; // after a page seek: the next packet tells where `at` is
        float** pending = nullptr;
        long pendingCount = 0;
        long pendingUsed = 0;
        // After a hole: frames held back until libvorbisfile's count says where they belong.
        bool holding = false;
        long holdPage = 0; // libogg's page number while the page after the hole is being read
        std::vector<float> held;
        int64_t heldUsed = 0;
        uint64_t lastUse = 0;
    };
    // Links stay open while they are among the last few used, so that a seek back into one, or
    // a chain played again, does not parse its headers again (libvorbis building its codebooks
    // is most of what opening a link costs).
    static constexpr size_t openLinks = 4;

    VorbisDecoder() = default;
    // libvorbisfile's callbacks over a Source.
    static size_t readSource(void* out, size_t size, size_t count, void* source);
    static int seekSource(void* source, ogg_int64_t offset, int whence);
    static long tellSource(void* source);
    // Opens libvorbisfile over `range` into `stream`; false when it finds no seekable Vorbis
    // stream there.
    static bool openStream(Stream& stream, const Source& range);
    static void closeStream(Stream& stream);
    // The bytes from `begin` to `end`, through the repaired tail when there is one.
    Source bytes(long long begin, long long end) const;
    // A file cut inside a page: that page is replaced by one holding the packets it has whole
    // (libogg would drop all of it), so that they play. Returns the size of the file as read.
    long long repairTail(long long fileSize);
    // Finds the links with libvorbisfile's open of the whole file, then by reading every page.
    bool findLinksWhole(long long size, std::vector<Link>& found);
    void findLinksByPages(long long size, std::vector<Link>& found);
    // The stream of link `link` at its first frame, opened when it is not open yet; null when it
    // does not open.
    Stream* enterLink(size_t link);
    // Makes `stream` give its link's frame `frame` next; false when it cannot.
    bool seekWithin(Stream& stream, int64_t frame);
    // libvorbisfile's page seek to `position` (its own count), or a raw seek to the start of the
    // link's audio where the page seek would take the path that can read a stale page.
    static bool seekToPage(Stream& stream, int64_t position);
    // Gives (into `out`, or drops when null) up to `frames` frames of the stream's link from its
    // `at` on.
    int64_t take(Stream& stream, float* out, int64_t frames);
    // Decodes the stream's next packet; false at the end of its link or when it cannot go on.
    bool pull(Stream& stream);

    int fd = -1;
    std::vector<unsigned char> tail; // the repaired last page, when the file is cut inside one
    long long tailAt = 0;            // where it starts
    std::vector<Span> spans;
    std::array<Stream, openLinks> streams;
    Stream* current = nullptr; // the stream decode() reads from
    uint64_t uses = 0;
};
