#include "OggPageReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace
{

// Bytes handed to libogg at a time.
constexpr long blockBytes = 32768;
// An Ogg page: a 27-byte header, up to 255 lacing values, up to 255 * 255 bytes of body.
constexpr int64_t headerBytes = 27;
constexpr int64_t largestPage = headerBytes + 255 + 255 * 255;

} // namespace

OggPageReader::OggPageReader(int fd, int64_t size, const std::atomic<bool>& stop)
    : fd(fd), size(size), stop(stop)
{
    ogg_sync_init(&sync);
}

OggPageReader::~OggPageReader()
{
    ogg_sync_clear(&sync);
}

void OggPageReader::seek(int64_t offset)
{
    ogg_sync_reset(&sync);
    readAt = pageAt = std::clamp<int64_t>(offset, 0, size);
    skippedBytes = 0;
    cutGiven = false;
}

bool OggPageReader::next(ogg_page& page, int64_t& offset)
{
    skippedBytes = 0;
    for (;;) {
        const long result = ogg_sync_pageseek(&sync, &page);
        if (result > 0) {
            offset = pageAt;
            pageAt += result;
            return true;
        }
        if (result < 0) {
            pageAt -= result;
            skippedBytes -= result;
            if (skippedBytes > skipLimit) {
                size = pageAt; // what follows is taken for the end
                break;
            }
            continue;
        }
        if (readAt >= size || stop.load(std::memory_order_relaxed))
            break;
        const long want = static_cast<long>(std::min<int64_t>(blockBytes, size - readAt));
        char* buffer = ogg_sync_buffer(&sync, want);
        if (!buffer)
            break;
        ssize_t got = 0;
        do
            got = ::pread(fd, buffer, static_cast<size_t>(want), static_cast<off_t>(readAt));
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            size = readAt; // what cannot be read is taken as the end
            break;
        }
        ogg_sync_wrote(&sync, static_cast<long>(got));
        readAt += got;
    }
    offset = pageAt;
    return cutPage(page);
}

bool OggPageReader::cutPage(ogg_page& page)
{
    const int64_t available = size - pageAt;
    if (cutGiven || available < headerBytes || available >= largestPage)
        return false;
    cutGiven = true;
    std::vector<unsigned char> bytes(static_cast<size_t>(available));
    if (::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(pageAt)) != available ||
        std::memcmp(bytes.data(), "OggS", 4) != 0 || bytes[4] != 0)
        return false;
    const size_t segments = bytes[26];
    if (bytes.size() < headerBytes + segments)
        return false;
    // The lacing values up to the end of the last packet whose bytes are all there.
    const size_t body = bytes.size() - headerBytes - segments;
    size_t kept = 0;
    size_t keptBytes = 0;
    for (size_t i = 0, used = 0; i < segments; ++i) {
        used += bytes[headerBytes + i];
        if (used > body)
            break;
        if (bytes[headerBytes + i] < 255) {
            kept = i + 1;
            keptBytes = used;
        }
    }
    if (kept == 0)
        return false;
    cut.assign(bytes.begin(), bytes.begin() + headerBytes + static_cast<long>(kept));
    cut[5] &= ~0x04;                                    // it no longer ends its stream
    std::fill(cut.begin() + 6, cut.begin() + 14, 0xff); // nor says where its packets end
    cut[26] = static_cast<unsigned char>(kept);
    const auto bodyAt = bytes.begin() + headerBytes + static_cast<long>(segments);
    cut.insert(cut.end(), bodyAt, bodyAt + static_cast<long>(keptBytes));
    page.header = cut.data();
    page.header_len = static_cast<long>(headerBytes + kept);
    page.body = cut.data() + page.header_len;
    page.body_len = static_cast<long>(keptBytes);
    ogg_page_checksum_set(&page);
    pageAt = size;
    return true;
}
