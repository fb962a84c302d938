// Decoder: one audio file read as interleaved 32-bit float frames, link after link.
//
// A file is a run of links, each with its own sample rate and channel count: most files have one;
// a chained Ogg file has one per stream joined into it, an MP3 one per run of frames of the same
// format. The sound's timeline counts frames at the first link's rate (sampleRate()); a link at
// another rate takes up the frames of its duration there. read() gives a link's frames in that
// link's own format and stops where the format changes, so that the caller can set itself up for
// the next one (format() says which it is).
//
// This base keeps the promises its callers rely on, whatever a format's decoder yields: a link that
// decodes short is made up with silence and one that decodes long is cut at its announced length,
// so the frames read add up to the length exactly; position() never exceeds lengthFrames() and
// equals it once the last frame has been read. Each format supplies only the links it found at
// open, decode() and seekTo().
//
// A decoder is made by FormatSniffer::open(), which knows the formats; this base knows none.
//
// Threads: it is opened on the GUI thread when a sound is created. Afterwards read() and seek() are
// called by the sound's read-ahead thread only, never concurrently. sampleRate(), channels(),
// lengthFrames() and formats() never change after open() and may be called from any thread;
// format() and position() belong to the thread that reads. interrupt() may be called from any
// thread at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class Decoder
{
public:
    struct Format {
        int rate = 0;
        int channels = 0;
        bool operator==(const Format&) const = default;
    };

    // Sample rates a link may have: a link that claims another (a damaged header) is left out.
    static constexpr int MinLinkRate = 1000;
    static constexpr int MaxLinkRate = 768000;
    // The longest timeline, about 75 hours at 44.1 kHz: its frames times any rate and times 1000
    // stay within int64_t, so no conversion of a position or a length can overflow. A file that
    // claims more (a lying header) is cut there.
    static constexpr int64_t MaxLengthFrames = INT64_MAX / MaxLinkRate / 1000;

    virtual ~Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // The timeline's rate: the first link's.
    int sampleRate() const { return timelineRate; }
    // The most channels any link has: room for a frame of any read().
    int channels() const { return mostChannels; }
    // Frames of the timeline, every link's duration included.
    int64_t lengthFrames() const { return length; }
    // Every format the links have, in the order they first appear.
    std::vector<Format> formats() const;

    // The format of the frames the next read() gives.
    Format format() const;
    // Where the next read() starts, in frames of the timeline.
    int64_t position() const;

    // Reads up to `frames` frames of the current format into `out` (room for frames * format().
    // channels floats). Returns the number read: fewer where the format changes, 0 at the end.
    int64_t read(float* out, int64_t frames);
    // Moves to timeline frame `frame`, clamped to the length (a link at another rate starts at its
    // nearest frame at or before it). False when the decoder cannot: the position stays, and the
    // rest of its link plays as silence.
    bool seek(int64_t frame);

    // From now on every read of the file gives nothing, so whatever the reading thread is doing
    // (a read, a seek, a search through damage) ends at once: for quitting.
    void interrupt() { stopped.store(true, std::memory_order_relaxed); }

protected:
    struct Link {
        Format format;
        int64_t frames = 0; // at the link's own rate
        size_t origin = 0;  // the format's own number for it, for its use
    };

    Decoder() = default;

    // Called once by the format's open(): the links in order. Links without frames or with a
    // format out of range are left out, so a decoder never sees them in decode() or seekTo().
    void setLinks(const std::vector<Link>& found);
    // The links kept, indexed as decode() and seekTo() name them.
    const std::vector<Link>& links() const { return kept; }
    // Where the bytes written into `fd` (of `size` bytes, written at byte `from`) end: a download
    // client that reserves the whole size first leaves zeros after what it wrote, and a decoder
    // looking for its next frame reads through all of them, at every seek (measured: a minute of
    // FLAC followed by zeros to 1 GB took over 300 s to open; a minute of MP3 so followed, 35 s).
    // No FLAC frame, Ogg page or MPEG frame holds 4 kB of zeros, so the last such block that is
    // not all zeros is found by bisection and checked by blocks spread over the zeros after it:
    // about 30 reads of 4 kB for a gigabyte. A file whose zeros are not all at its end keeps its
    // size, or ends at a stretch of zeros (then it ends there, as a file cut short).
    static int64_t endOfWrittenBytes(int fd, int64_t from, int64_t size);
    // Whether interrupt() was called: the format's reads of the file give nothing then.
    bool interrupted() const { return stopped.load(std::memory_order_relaxed); }
    const std::atomic<bool>& interruption() const { return stopped; }

    // Decodes up to `frames` frames of link `link` (never more than is left of it) into `out`, in
    // that link's format. Returns the number decoded; 0 when no more of the link can be decoded,
    // and its rest then plays as silence. The links are asked for in order, from where the last
    // seekTo() put the decoder (the start of link 0 after open): a decoder still inside an earlier
    // link moves on to the start of this one itself.
    virtual int64_t decode(size_t link, float* out, int64_t frames) = 0;
    // Makes the next decode() start at frame `frame` of link `link` (below its frame count).
    // False when the decoder cannot.
    virtual bool seekTo(size_t link, int64_t frame) = 0;

private:
    void enterNextLink();

    std::vector<Link> kept;
    std::vector<int64_t> starts; // each link's first frame on the timeline
    int timelineRate = 0;
    int mostChannels = 0;
    int64_t length = 0;

    size_t link = 0;            // the link being read; kept.size() once everything is read
    int64_t linkFrame = 0;      // frames read of it, at its own rate
    bool linkExhausted = false; // decode() gave up on it: the rest is silence
    std::atomic<bool> stopped{false};
};
