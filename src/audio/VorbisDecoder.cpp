#include "VorbisDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <unistd.h>

namespace
{

int descriptor(void* source)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(source));
}

size_t readFile(void* ptr, size_t size, size_t count, void* source)
{
    if (size == 0)
        return 0;
    char* out = static_cast<char*>(ptr);
    size_t wanted = size * count;
    size_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::read(descriptor(source), out + done, wanted - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done / size;
}

int seekFile(void* source, ogg_int64_t offset, int whence)
{
    return ::lseek(descriptor(source), offset, whence) < 0 ? -1 : 0;
}

long tellFile(void* source)
{
    return static_cast<long>(::lseek(descriptor(source), 0, SEEK_CUR));
}

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

} // namespace

std::unique_ptr<VorbisDecoder> VorbisDecoder::open(int fd)
{
    std::unique_ptr<VorbisDecoder> decoder(new VorbisDecoder);
    decoder->fd = fd;
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return nullptr;
    // The descriptor stays ours: the close callback is left out.
    const ov_callbacks callbacks{readFile, seekFile, nullptr, tellFile};
    void* source = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
    if (ov_open_callbacks(source, &decoder->file, nullptr, 0, callbacks) != 0)
        return nullptr;
    decoder->fileOpen = true;
    if (!ov_seekable(&decoder->file))
        return nullptr;

    const vorbis_info* info = ov_info(&decoder->file, 0);
    if (!info || info->channels <= 0 || info->rate <= 0)
        return nullptr;
    decoder->rate = static_cast<int>(info->rate);
    decoder->channelCount = info->channels;

    // A chain of streams plays as one sound only while its format stays the same; from the first
    // link that changes it, the rest is left out.
    int64_t total = 0;
    for (long link = 0; link < ov_streams(&decoder->file); ++link) {
        const vorbis_info* linkInfo = ov_info(&decoder->file, static_cast<int>(link));
        if (!linkInfo || linkInfo->channels != info->channels || linkInfo->rate != info->rate)
            break;
        const ogg_int64_t frames = ov_pcm_total(&decoder->file, static_cast<int>(link));
        if (frames < 0)
            break;
        total += frames;
    }
    decoder->length = total;
    return decoder;
}

VorbisDecoder::~VorbisDecoder()
{
    if (fileOpen)
        ov_clear(&file);
    if (fd >= 0)
        ::close(fd);
}

int64_t VorbisDecoder::read(float* out, int64_t frames)
{
    frames = std::min(frames, length - position);
    if (frames <= 0)
        return 0;
    int64_t done = 0;
    int failures = 0;
    while (done < frames && !broken) {
        float** pcm = nullptr;
        int section = 0;
        const int want = static_cast<int>(std::min<int64_t>(frames - done, 4096));
        const long got = ov_read_float(&file, &pcm, want, &section);
        broken = !streamIntact(file.os);
        if (got == OV_HOLE) {
            // A gap in the stream: vorbisfile skips it and carries on.
            if (++failures > 64)
                break;
            continue;
        }
        if (got <= 0)
            break;
        failures = 0;
        for (long i = 0; i < got; ++i)
            for (int c = 0; c < channelCount; ++c)
                out[(done + i) * channelCount + c] = pcm[c][i];
        done += got;
    }
    // A stream that ends before its last granule position (a damaged page) is made up with
    // silence, so the length stays true.
    std::fill(out + done * channelCount, out + frames * channelCount, 0.0f);
    position += frames;
    return frames;
}

bool VorbisDecoder::seek(int64_t frame)
{
    frame = std::clamp<int64_t>(frame, 0, length);
    if (frame == length) {
        position = length;
        return true;
    }
    // libvorbisfile's exact seek (ov_pcm_seek) can leave libogg's stream state broken on a
    // damaged file, and its next page then crashes in a memmove. Seeking to the page before the
    // frame and decoding forward on the ordinary read path lands on the same frame.
    if (broken || ov_pcm_seek_page(&file, frame) != 0)
        return false;
    int failures = 0;
    for (int64_t at = ov_pcm_tell(&file); at < frame; at = ov_pcm_tell(&file)) {
        if (at < 0 || (broken = !streamIntact(file.os)))
            return false;
        float** pcm = nullptr;
        int section = 0;
        const int want = static_cast<int>(std::min<int64_t>(frame - at, 4096));
        const long got = ov_read_float(&file, &pcm, want, &section);
        if (got == OV_HOLE) {
            if (++failures > 64)
                return false;
            continue;
        }
        if (got <= 0)
            return false;
        failures = 0;
    }
    if ((broken = !streamIntact(file.os)))
        return false;
    position = frame;
    return true;
}
