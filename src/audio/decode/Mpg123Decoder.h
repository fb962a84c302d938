// Mpg123Decoder: MPEG audio (MP3, and layers I and II) through libmpg123, with an exact length and
// a frame index for fast seeks.
//
// The length is what libmpg123 gives going straight through the file, gapless: the encoder's
// delay and padding that LAME's Info header announces are left out. It is known at open without
// reading the file through when a Xing/Info header accounts for every byte of it (libmpg123's
// length from its frame count); otherwise libmpg123 counts the frames once, as they are.
// libmpg123 passes over ID3v2 tags without reading them, ends the stream where it finds no frame
// within a bounded stretch, and zeros at the end of the file (a download not finished) are left
// out. A file that turns out to be files joined end to end
// (libmpg123 notices that as it scans) is read whole without gapless trimming, since the Info
// header of the first file speaks for that file alone; its frames are read once more for where
// the format changes: each run of frames of one format is a link.
//
// Threads: findFrames() and open() run on the thread that calls FormatSniffer::open (the GUI
// thread). decode() and seekTo() run on the sound's read-ahead thread only, one at a time.
#pragma once

#include "Decoder.h"

#include <memory>

#include <cstddef>
#include <vector>

class Mpg123Reader;
struct mpg123_handle_struct;

class Mpg123Decoder : public Decoder
{
public:
    // How sure a look at the start of a file is that it holds MPEG audio frames.
    enum class Sync { None, Weak, Strong };
    struct Probe {
        Sync sync = Sync::None;
        size_t firstFrame = 0; // offset within the probed bytes
    };
    // Asks libmpg123 for frames in `data`: Strong when four layer II or III frames follow each
    // other with the same version, layer, rate and channels, Weak for any shorter run of two or
    // more (and for layer I, whose headers are too common in other data).
    static Probe findFrames(const unsigned char* data, size_t size);

    // Takes ownership of `fd` (a regular file of `fileSize` bytes) in every case. `firstFrame`
    // is where the first frame was found, the one that may carry a Xing/Info header. Null when
    // libmpg123 finds nothing to decode.
    static std::unique_ptr<Mpg123Decoder> open(int fd, long long fileSize, long long firstFrame);
    ~Mpg123Decoder() override;

protected:
    int64_t decode(size_t link, float* out, int64_t frames) override;
    bool seekTo(size_t link, int64_t frame) override;

private:
    // Where a link's frames start, for seeking by frame when the links differ in format.
    struct LinkStart {
        long firstFrame = 0; // libmpg123's number of the link's first MPEG frame
        int samplesPerFrame = 0;
    };

    Mpg123Decoder() = default;
    // A new libmpg123 handle over the file, gapless or not, every format allowed.
    bool startHandle(bool gapless);
    // How far libmpg123 searches a damaged stretch for the next frame.
    static constexpr long resyncBytes = 1024;

    // The links, and the length without a scan when the file tells it (0 when it does not).
    bool measure(long long fileSize, long long firstFrame);
    int64_t lengthWithoutScan(long long end, long long firstFrame, int rate);
    // A link per run of frames of one format, each counted frame by frame.
    bool measureLinks();
    // Makes libmpg123 give every frame in `format`, for a file of one link.
    bool keepFormat(Format format);
    // Reads decoded bytes into `out` (room for `bytes`), keeping track of format changes: it
    // returns where the format changes, before reading on. Sets `got` to the bytes read (still in
    // the old format at a change); false when nothing more comes.
    bool readBytes(unsigned char* out, size_t bytes, size_t& got);
    // Decodes and drops `frames` frames of the current link.
    bool skipFrames(int64_t frames);

    int fd = -1;
    std::unique_ptr<Mpg123Reader> reader;
    mpg123_handle_struct* handle = nullptr;
    std::vector<LinkStart> linkStarts;  // empty for one gapless link
    size_t current = 0;                 // the link libmpg123's output belongs to now
    bool formatLost = false;            // the output is in a format no link has
    std::vector<unsigned char> scratch; // for frames decoded only to be dropped
};
