#include "FormatSniffer.h"

#include "Mpg123Decoder.h"
#include "SndfileDecoder.h"
#include "VorbisDecoder.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// Unknown is left to libsndfile, which knows more containers by their headers; MpegLike (a frame
// sync or an ID3v2 tag first, but no run of frames) never goes there, as it would take it for MP3.
enum class Content { Unknown, Sndfile, OggVorbis, OggOther, Mpeg, MpegLike };

struct Sniffed {
    Content content = Content::Unknown;
    Mpg123Decoder::Probe mpeg;
    long long mpegOffset = 0; // file offset of the first MPEG frame header found
};

// How much of the file's start, after any ID3v2 tags, is searched for MPEG frame headers.
constexpr size_t probeBytes = 64 * 1024;
// How a Vorbis stream's identification header starts.
constexpr std::string_view vorbisId("\x01vorbis", 7);

std::vector<unsigned char> readAt(int fd, long long offset, size_t size)
{
    std::vector<unsigned char> bytes(size);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, bytes.data() + done, size - done,
                                    static_cast<off_t>(offset + static_cast<long long>(done)));
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

bool startsWith(const std::vector<unsigned char>& bytes, size_t at, const char* magic)
{
    const size_t length = std::strlen(magic);
    return bytes.size() >= at + length && std::memcmp(bytes.data() + at, magic, length) == 0;
}

// Where what follows an ID3v2 tag at the start begins (0 without one), to see what that is:
// libmpg123 skips the tag itself. The tag's size is in four 7-bit bytes of its 10-byte header; a
// footer of 10 more bytes follows when flag 0x10 says so.
long long behindId3v2(int fd, long long fileSize)
{
    const std::vector<unsigned char> header = readAt(fd, 0, 10);
    if (header.size() < 10 || !startsWith(header, 0, "ID3"))
        return 0;
    long long behind = 10 + ((header[5] & 0x10) ? 10 : 0);
    for (size_t i = 6; i < 10; ++i)
        behind += static_cast<long long>(header[i] & 0x7F) << (7 * (9 - i));
    return behind < fileSize ? behind : 0;
}

Sniffed sniff(int fd, long long fileSize)
{
    Sniffed result;
    const std::vector<unsigned char> head = readAt(fd, 0, 64);
    if ((startsWith(head, 0, "RIFF") || startsWith(head, 0, "RIFX") ||
         startsWith(head, 0, "RF64")) &&
        startsWith(head, 8, "WAVE"))
        result.content = Content::Sndfile;
    else if (startsWith(head, 0, "fLaC") ||
             (startsWith(head, 0, "FORM") &&
              (startsWith(head, 8, "AIFF") || startsWith(head, 8, "AIFC"))))
        result.content = Content::Sndfile;
    else if (startsWith(head, 0, "OggS"))
        // The first page holds the stream's identification header.
        result.content =
            std::search(head.begin(), head.end(), vorbisId.begin(), vorbisId.end()) != head.end()
                ? Content::OggVorbis
                : Content::OggOther;

    const long long audio = behindId3v2(fd, fileSize);
    if (result.content == Content::Unknown && audio > 0) {
        const std::vector<unsigned char> behindTag = readAt(fd, audio, 4);
        if (startsWith(behindTag, 0, "fLaC"))
            result.content = Content::Sndfile;
    }
    const std::vector<unsigned char> probe = readAt(fd, audio, probeBytes);
    result.mpeg = Mpg123Decoder::findFrames(probe.data(), probe.size());
    result.mpegOffset = audio + static_cast<long long>(result.mpeg.firstFrame);
    // Frames right at the start (or behind a tag) make an MP3. Frames found only further in may
    // be data inside another container, which libsndfile gets to recognise first.
    if (result.content == Content::Unknown && result.mpeg.sync == Mpg123Decoder::Sync::Strong &&
        (result.mpeg.firstFrame == 0 || audio > 0))
        result.content = Content::Mpeg;
    const bool syncFirst = probe.size() >= 2 && probe[0] == 0xFF && (probe[1] & 0xE0) == 0xE0;
    if (result.content == Content::Unknown && (syncFirst || audio > 0))
        result.content = Content::MpegLike;
    return result;
}

bool hasMpegSuffix(const char* path)
{
    std::string name(path);
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos)
        return false;
    std::string suffix = name.substr(dot + 1);
    for (char& c : suffix)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return suffix == "mp3" || suffix == "mp2" || suffix == "mp1" || suffix == "mpga";
}

int duplicate(int fd)
{
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

} // namespace

std::unique_ptr<Decoder> FormatSniffer::open(const char* path)
{
    if (!path || !*path)
        return nullptr;
    // Only a regular file is opened at all: opening a FIFO or a device could block or have
    // side effects. The descriptor is checked again in case the path changed in between.
    struct stat status {
    };
    if (::stat(path, &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) {
        ::close(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const long long fileSize = status.st_size;

    const Sniffed found = sniff(fd, fileSize);
    const bool mpegSuffix = hasMpegSuffix(path);
    const bool mpegLikely = found.mpeg.sync == Mpg123Decoder::Sync::Strong ||
                            (found.mpeg.sync == Mpg123Decoder::Sync::Weak && mpegSuffix);

    std::unique_ptr<Decoder> decoder;
    switch (found.content) {
    case Content::OggVorbis:
        decoder = VorbisDecoder::open(duplicate(fd));
        break;
    case Content::Mpeg:
        decoder = Mpg123Decoder::open(duplicate(fd), fileSize, found.mpegOffset);
        break;
    case Content::MpegLike:
        if (mpegLikely || mpegSuffix)
            decoder = Mpg123Decoder::open(duplicate(fd), fileSize, found.mpegOffset);
        break;
    case Content::Sndfile:
    case Content::OggOther:
    case Content::Unknown:
        decoder = SndfileDecoder::open(duplicate(fd));
        // A Vorbis stream that does not begin the file (libsndfile leaves Vorbis to us).
        if (!decoder && found.content == Content::OggOther)
            decoder = VorbisDecoder::open(duplicate(fd));
        if (!decoder && mpegLikely)
            decoder = Mpg123Decoder::open(duplicate(fd), fileSize, found.mpegOffset);
        break;
    }
    ::close(fd);
    // A file that decodes to nothing has nothing to play.
    if (decoder && decoder->lengthFrames() <= 0)
        return nullptr;
    return decoder;
}
