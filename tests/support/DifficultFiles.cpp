#include "DifficultFiles.h"

#include "AudioFixtures.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace
{

using Bytes = std::vector<unsigned char>;
using Format = AudioFixtures::Format;

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// One Ogg page of a file: where it starts, how long it is and the granule position it ends at.
struct Page {
    size_t offset = 0;
    size_t size = 0;
    size_t body = 0; // offset of the body
    int64_t granule = 0;
};

std::vector<Page> pagesOf(const Bytes& bytes)
{
    std::vector<Page> pages;
    for (size_t at = 0; at + 27 <= bytes.size() && std::memcmp(&bytes[at], "OggS", 4) == 0;) {
        const size_t segments = bytes[at + 26];
        size_t bodySize = 0;
        for (size_t i = 0; i < segments && at + 27 + i < bytes.size(); ++i)
            bodySize += bytes[at + 27 + i];
        int64_t granule = 0;
        std::memcpy(&granule, &bytes[at + 6], 8);
        pages.push_back({at, 27 + segments + bodySize, at + 27 + segments, granule});
        at += 27 + segments + bodySize;
    }
    return pages;
}

// Writes a tone in `format` through a temporary file beside `path` and returns its bytes.
Bytes tone(const std::string& path, Format format, const DifficultFiles::Part& part)
{
    const std::string scratch = path + ".part" + AudioFixtures::suffix(format);
    AudioFixtures::Tone tone;
    tone.sampleRate = part.rate;
    tone.channels = part.channels;
    tone.seconds = part.seconds;
    tone.frequency = part.frequency;
    const Bytes bytes =
        AudioFixtures::writeTone(scratch, format, tone) ? readFile(scratch) : Bytes();
    std::remove(scratch.c_str());
    return bytes;
}

// Spoils the audio page of `link` (its bytes) that holds the given share of its audio pages, and
// notes in `part` the stretch the page held. False when the link has no audio page to spoil.
bool spoilAudioPage(Bytes& link, double share, DifficultFiles::Part& part)
{
    const std::vector<Page> pages = pagesOf(link);
    // The first pages hold the three headers and end at granule position 0.
    std::vector<size_t> audio;
    for (size_t i = 0; i < pages.size(); ++i) {
        if (pages[i].granule > 0)
            audio.push_back(i);
    }
    if (audio.size() < 2)
        return false;
    const size_t chosen = audio[static_cast<size_t>(share * static_cast<double>(audio.size() - 1))];
    const Page& page = pages[chosen];
    link[page.body + (page.size - (page.body - page.offset)) / 2] ^= 0x5a;
    const int64_t from = chosen > 0 ? pages[chosen - 1].granule : 0;
    part.holeFrom = static_cast<double>(from) / part.rate;
    part.holeTo = static_cast<double>(page.granule) / part.rate;
    return true;
}

void append(Bytes& to, const Bytes& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

void putLittleEndian32(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

} // namespace

namespace
{

struct Named {
    DifficultFiles::Case which;
    const char* name;
};

using Case = DifficultFiles::Case;
constexpr Named cases[] = {
    {Case::ChainedSameFormat, "chained Ogg, same format"},
    {Case::ChainedOtherFormat, "chained Ogg, other rate and channels"},
    {Case::FirstLinkPageDamaged, "chained Ogg, page of the first link damaged"},
    {Case::FirstLinkHeaderDamaged, "chained Ogg, header of the first link damaged"},
    {Case::LaterLinkPageDamaged, "chained Ogg, page of the second link damaged"},
    {Case::OggCutInFirstPages, "Ogg cut inside its first audio page"},
    {Case::Mp3FormatChange, "MP3 files joined, other rate and channels"},
    {Case::WavHeaderLies, "WAV announcing ten times its data"},
    {Case::FlacHeaderLies, "FLAC announcing twice its frames"},
};

// The format every link of a case is written in.
Format formatOf(Case which)
{
    return which == Case::Mp3FormatChange  ? Format::Mp3
           : which == Case::WavHeaderLies  ? Format::Wav
           : which == Case::FlacHeaderLies ? Format::Flac
                                           : Format::OggVorbis;
}

} // namespace

std::vector<DifficultFiles::Case> DifficultFiles::all()
{
    std::vector<Case> result;
    for (const Named& each : cases)
        result.push_back(each.which);
    return result;
}

const char* DifficultFiles::name(Case which)
{
    for (const Named& each : cases) {
        if (each.which == which)
            return each.name;
    }
    return "";
}

const char* DifficultFiles::suffix(Case which)
{
    return AudioFixtures::suffix(formatOf(which));
}

DifficultFiles::Written DifficultFiles::write(const std::string& path, Case which, double scale)
{
    Written written;
    const Part stereo{44100, 2, 3.0 * scale, 440.0};
    const Part mono{22050, 1, 2.0 * scale, 660.0};
    Bytes bytes;
    switch (which) {
    case Case::ChainedSameFormat:
        written.parts = {stereo, {44100, 2, 2.0 * scale, 550.0}};
        break;
    case Case::ChainedOtherFormat:
        written.parts = {stereo, mono};
        break;
    case Case::FirstLinkPageDamaged:
        // A long first link with several audio pages; the next link is mono at the same rate.
        written.parts = {{44100, 2, 8.0 * scale, 440.0}, {44100, 1, 2.0 * scale, 660.0}};
        break;
    case Case::FirstLinkHeaderDamaged:
        written.parts = {stereo, mono};
        written.parts[0].audible = false;
        break;
    case Case::LaterLinkPageDamaged:
        written.parts = {stereo, {22050, 1, 12.0 * scale, 660.0}};
        break;
    case Case::OggCutInFirstPages:
        written.parts = {{44100, 2, 6.0 * scale, 440.0}};
        break;
    case Case::Mp3FormatChange:
        written.parts = {stereo, mono};
        // The encoder's delay and padding, and the second file's Info frame, play as they are.
        written.slackFrames = 576 + 529 + 1152 + 1152;
        break;
    case Case::WavHeaderLies:
    case Case::FlacHeaderLies:
        written.parts = {stereo};
        break;
    }

    const Format format = formatOf(which);
    for (size_t i = 0; i < written.parts.size(); ++i) {
        Bytes link = tone(path, format, written.parts[i]);
        if (link.empty())
            return written;
        if ((which == Case::FirstLinkPageDamaged && i == 0 &&
             !spoilAudioPage(link, 1.0 / 3.0, written.parts[i])) ||
            (which == Case::LaterLinkPageDamaged && i == 1 &&
             !spoilAudioPage(link, 0.5, written.parts[i])))
            return written;
        if (which == Case::FirstLinkHeaderDamaged && i == 0) {
            // The second page holds the comment and setup headers: one byte in its middle.
            const std::vector<Page> pages = pagesOf(link);
            if (pages.size() < 3)
                return written;
            link[pages[1].body + (pages[1].size - (pages[1].body - pages[1].offset)) / 2] ^= 0x5a;
        }
        append(bytes, link);
    }

    if (which == Case::OggCutInFirstPages) {
        // Headers whole, then a third of the first audio page.
        const std::vector<Page> pages = pagesOf(bytes);
        size_t first = 0;
        while (first < pages.size() && pages[first].granule <= 0)
            ++first;
        if (first >= pages.size())
            return written;
        bytes.resize(pages[first].offset + pages[first].size / 3);
        written.parts[0].seconds = 0.0; // what it holds is only known to a decoder
    } else if (which == Case::WavHeaderLies) {
        // The canonical 44-byte header libsndfile writes: the data chunk's size is its last field.
        if (bytes.size() < 44 || std::memcmp(&bytes[36], "data", 4) != 0)
            return written;
        const uint32_t data = static_cast<uint32_t>(bytes.size() - 44);
        putLittleEndian32(bytes, 40, data * 10);
        putLittleEndian32(bytes, 4, 36 + data * 10);
    } else if (which == Case::FlacHeaderLies) {
        // The stream info block follows "fLaC" and its 4-byte header; the total sample count is
        // the low 36 bits of its bytes 13 to 17.
        if (bytes.size() < 42 || std::memcmp(bytes.data(), "fLaC", 4) != 0)
            return written;
        unsigned char* info = &bytes[8];
        uint64_t total = (uint64_t{info[13] & 0x0fu} << 32) | (uint64_t{info[14]} << 24) |
                         (uint64_t{info[15]} << 16) | (uint64_t{info[16]} << 8) | info[17];
        total *= 2;
        info[13] = static_cast<unsigned char>((info[13] & 0xf0u) | ((total >> 32) & 0x0fu));
        for (int i = 0; i < 4; ++i)
            info[14 + i] = static_cast<unsigned char>(total >> (24 - 8 * i));
    }
    written.ok = writeFile(path, bytes);
    return written;
}
