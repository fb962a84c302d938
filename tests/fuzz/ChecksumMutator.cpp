// libFuzzer's custom mutator, shared by both fuzz targets: libFuzzer's own mutation, then the
// checksums it broke made good again. Without it nearly every mutation of an Ogg or FLAC file
// breaks a checksum, and the page or frame is dropped before the code behind it runs: a lying
// granule position, length or header never reaches the decoders.
//
// Threads: called by libFuzzer's thread only.
#include <ogg/ogg.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace
{

// FLAC's frame header checksum: CRC-8, polynomial x^8 + x^2 + x + 1, most significant bit first.
uint8_t crc8(const uint8_t* bytes, size_t count)
{
    unsigned crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1) & 0xFF;
    }
    return static_cast<uint8_t>(crc);
}

// FLAC's frame checksum: CRC-16, polynomial x^16 + x^15 + x^2 + 1, most significant bit first.
unsigned crc16(const uint8_t* bytes, size_t count)
{
    unsigned crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<unsigned>(bytes[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1) & 0xFFFF;
    }
    return crc;
}

// The length of the FLAC frame header at `p` up to its CRC-8, or 0 when no header starts there:
// the sync code, the coded frame or sample number (one to seven bytes) and the block size and
// sample rate that follow it when their codes say so.
size_t flacHeaderLength(const uint8_t* p, size_t available)
{
    // Codes no encoder writes (reserved ones, an invalid rate) make a header unlikely to be one.
    if (available < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8 || (p[2] >> 4) == 0 ||
        (p[2] & 0x0F) == 0x0F || (p[3] >> 4) > 10 || ((p[3] >> 1) & 7) == 3 || (p[3] & 1))
        return 0;
    int extra = 0; // continuation bytes of the number: as many as its first byte's leading ones
    for (uint8_t first = p[4]; first & 0x80; first = static_cast<uint8_t>(first << 1))
        ++extra;
    if (extra == 1 || extra > 7)
        return 0;
    size_t length = 5 + static_cast<size_t>(extra > 0 ? extra - 1 : 0);
    const int blockCode = p[2] >> 4;
    const int rateCode = p[2] & 0x0F;
    length += blockCode == 6 ? 1 : blockCode == 7 ? 2 : 0;
    length += rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
    return length < available ? length : 0;
}

// Every FLAC frame after the "fLaC" marker: its header's CRC-8, and the CRC-16 in the last two
// bytes before the next frame header (or the end of the input).
void fixFlac(uint8_t* data, size_t size)
{
    const auto* marker = static_cast<const uint8_t*>(memmem(data, size, "fLaC", 4));
    if (!marker)
        return;
    size_t frame = SIZE_MAX; // where the frame whose CRC-16 is still to be set starts
    size_t frameHeader = 0;  // the length of its header, CRC-8 included
    for (size_t at = static_cast<size_t>(marker - data) + 4; at <= size; ++at) {
        const size_t header = at < size ? flacHeaderLength(data + at, size - at) : 0;
        if (header == 0 && at < size)
            continue;
        if (frame != SIZE_MAX && at - frame > frameHeader + 2) {
            const unsigned crc = crc16(data + frame, at - frame - 2);
            data[at - 2] = static_cast<uint8_t>(crc >> 8);
            data[at - 1] = static_cast<uint8_t>(crc);
        }
        if (header > 0) {
            data[at + header] = crc8(data + at, header);
            frame = at;
            frameHeader = header + 1;
            at += header;
        }
    }
}

// Every whole Ogg page's CRC-32, as libogg computes it.
void fixOgg(uint8_t* data, size_t size)
{
    for (size_t at = 0; at + 27 <= size; ++at) {
        const auto* capture = static_cast<const uint8_t*>(memmem(data + at, size - at, "OggS", 4));
        if (!capture)
            return;
        at = static_cast<size_t>(capture - data);
        if (at + 27 > size || at + 27 + data[at + 26] > size)
            continue;
        const size_t headerLength = 27 + data[at + 26];
        size_t bodyLength = 0;
        for (size_t i = 27; i < headerLength; ++i)
            bodyLength += data[at + i];
        if (at + headerLength + bodyLength > size)
            continue;
        ogg_page page{data + at, static_cast<long>(headerLength), data + at + headerLength,
                      static_cast<long>(bodyLength)};
        ogg_page_checksum_set(&page);
        at += headerLength + bodyLength - 1;
    }
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed)
{
    size = LLVMFuzzerMutate(data, size, maxSize);
    // One mutation in eight keeps what it broke: damage the checksums catch is tried too.
    if (seed % 8 == 0)
        return size;
    // FLAC frames first: in an Ogg FLAC stream they lie inside the pages' bodies.
    fixFlac(data, size);
    fixOgg(data, size);
    return size;
}
