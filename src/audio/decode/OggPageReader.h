// OggPageReader: the pages of an Ogg file in order, each with the offset it starts at, read from
// its descriptor a block at a time (never the whole file). libogg finds the pages and checks each
// one's checksum; bytes that make no valid page are passed over, up to skipLimit of them in a row:
// past that the file ends there (what follows a file's pages, random bytes a joiner appended, is
// not searched to its end). A page cut short by the end of
// the file comes back as the packets it holds whole (libogg alone would drop all of it), so that
// a file cut inside a page still plays up to its last whole packet.
//
// Threads: the thread that owns it, alone (the decoder's open, then its read-ahead thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <ogg/ogg.h>

class OggPageReader
{
public:
    // Bytes that make no page passed over in a row before the file counts as ended.
    static constexpr int64_t skipLimit = int64_t{1} << 20;

    // Reads `size` bytes of `fd`, which stays the caller's; nothing once `stop` is set.
    OggPageReader(int fd, int64_t size, const std::atomic<bool>& stop);
    ~OggPageReader();
    OggPageReader(const OggPageReader&) = delete;
    OggPageReader& operator=(const OggPageReader&) = delete;

    // The next page comes from `offset` on.
    void seek(int64_t offset);
    // The next page and where it starts; false at the end of the file. The page's bytes stay
    // valid until the next call.
    bool next(ogg_page& page, int64_t& offset);
    // Bytes passed over between the page next() returned and the one before it.
    int64_t skipped() const { return skippedBytes; }

private:
    // The last page of the file when the file ends inside it: its whole packets, as a page of
    // their own.
    bool cutPage(ogg_page& page);

    int fd = -1;
    int64_t size = 0;
    const std::atomic<bool>& stop;
    ogg_sync_state sync{};
    int64_t readAt = 0; // the next byte handed to libogg
    int64_t pageAt = 0; // the byte libogg looks at next
    int64_t skippedBytes = 0;
    bool cutGiven = false;
    std::vector<unsigned char> cut;
};
