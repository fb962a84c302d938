// SndfileDecoder: WAV, FLAC, AIFF and the other formats libsndfile reads, never MPEG audio. One
// link; a stretch that cannot be decoded (a damaged FLAC frame libFLAC loses its way in, a hole of
// zeros a download left) is stepped over by seeking past it and plays as silence of its length.
// The length is what decodes, never more than the file announces: a file cut short is measured by
// seeking and decoding near its end.
//
// libsndfile reads the file through virtual I/O over the descriptor, which lets a WAV left
// unfinished by its recorder (a data chunk of size 0 followed by audio) be read as the audio that
// is there, ends a compressed file where its written bytes end (a download that reserved the
// whole size first leaves zeros after them), and gives each operation (a read, a seek, a probe of
// the search for a cut file's end or past damage) an allowance of bytes: past it reading gives
// nothing, so no stretch of what is not audio is searched without end.
//
// Threads: open() runs on the thread that calls FormatSniffer::open (the GUI thread); decode() and
// seekTo() on the sound's read-ahead thread only, one at a time.
#pragma once

#include "Decoder.h"

#include <memory>

#include <sndfile.h>

class SndfileDecoder : public Decoder
{
public:
    // Takes ownership of `fd` (a regular file) in every case. Null when libsndfile cannot read
    // it or finds MPEG audio, which the MP3 decoder handles.
    static std::unique_ptr<SndfileDecoder> open(int fd);
    ~SndfileDecoder() override;

protected:
    int64_t decode(size_t link, float* out, int64_t frames) override;
    bool seekTo(size_t link, int64_t frame) override;

private:
    SndfileDecoder() = default;
    // Opens the file afresh at its first frame (`at` is left to the caller): a failed seek or a
    // read error can leave a codec unable to go on.
    bool reopen();
    // Whether `frame` can be sought to and read, reading at most `bytes`.
    bool frameReads(int64_t frame, int64_t bytes);
    // Frames that decode from `frame` to the end.
    int64_t framesFrom(int64_t frame);
    // The frame the file's end really is at, when it announces `announced` frames.
    int64_t findEnd(int64_t announced);
    // After a read failed at `frame`: the first frame further on from which reading goes on (the
    // file left there), or -1 when there is none.
    int64_t findReadableAfter(int64_t frame);

    // The next libsndfile call may read `bytes` more (-1: as many as it wants).
    void allow(int64_t bytes) { allowance = bytes; }
    // What one seek may read.
    int64_t seekBytes() const;

    // libsndfile's virtual I/O over `fd`.
    static sf_count_t ioLength(void* self);
    static sf_count_t ioSeek(sf_count_t offset, int whence, void* self);
    static sf_count_t ioRead(void* to, sf_count_t count, void* self);
    static sf_count_t ioTell(void* self);

    int fd = -1;
    sf_count_t fileSize = 0;           // what libsndfile sees of the file
    sf_count_t writtenEnd = INT64_MAX; // where a compressed file's written bytes end
    int64_t allowance = -1;            // bytes the operation under way may still read
    sf_count_t offset = 0;             // where libsndfile reads next
    bool unfinishedWav = false;        // the RIFF size is read as that of a WAV left unfinished
    SNDFILE* file = nullptr;
    int channelCount = 0;
    int64_t frameCount = 0;
    int64_t at = 0;        // the frame the next decode() gives
    int64_t resumeAt = -1; // after damage: silence until this frame, where reading goes on
    bool stuck = false;    // nothing further on reads
};
