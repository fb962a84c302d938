// VorbisStream: one logical Vorbis stream of an Ogg file. Its pages go into libogg's stream
// state; the packets that come out are its three headers (libvorbis reads them) and then audio
// packets, each counted in the frames it yields (from the block sizes libvorbis reads off the
// packet, without decoding it) and, once startSynthesis() ran, decoded.
//
// A packet yields the frames between the centres of its block and the block before it, so the
// first packet after the start, after a hole (pages lost: libogg says so) or after a reset yields
// none; the counts and the decoding always agree on that.
//
// States: WantHeaders (the identification header read or not) -> Ready (all three read), or
// Broken (a header is missing or damaged: the stream's format may be known, its audio is not).
//
// Threads: the thread that owns it, alone.
#pragma once

#include <cstdint>
#include <vector>

#include <vorbis/codec.h>

class VorbisStream
{
public:
    enum class State { WantHeaders, Ready, Broken };

    // An audio packet of the last page taken in, the frames it yields, and whether a hole came
    // before it (the decoding starts afresh there).
    struct Packet {
        ogg_packet packet{};
        int frames = 0;
        bool afterHole = false;
    };

    explicit VorbisStream(int serial);
    ~VorbisStream();
    VorbisStream(const VorbisStream&) = delete;
    VorbisStream& operator=(const VorbisStream&) = delete;

    int serial() const { return serialNumber; }
    State state() const { return current; }
    // Whether the identification header was read: rate(), channels() and longBlock() hold then.
    bool hasFormat() const { return headers > 0; }
    int rate() const;
    int channels() const;
    // Frames the longest packet of the stream yields.
    int longestPacket() const;

    // Takes in a page of this stream and returns its audio packets (valid until the next call).
    // Packets before the headers are all read are read as headers.
    const std::vector<Packet>& takePage(ogg_page& page);
    // Forgets the pages taken in and the packet before: for a read from another page on.
    void reset();

    // Sets up libvorbis to decode; false when it cannot (or the headers are not all read).
    bool startSynthesis();
    // Decodes `packet` (one takePage() returned) and points `pcm` at the frames it yields, one
    // array per channel. Returns their number, 0 when it does not decode.
    int synthesize(const Packet& packet, float*** pcm);

private:
    void takeHeader(ogg_packet& packet);

    // What the identification header says.
    struct IdFormat {
        int rate = 0;
        int channels = 0;
        int longestPacket = 0;
    };

    int serialNumber = 0;
    State current = State::WantHeaders;
    int headers = 0;
    IdFormat format;
    ogg_stream_state stream{};
    vorbis_info info{};
    vorbis_comment comment{};
    vorbis_dsp_state dsp{};
    vorbis_block block{};
    bool synthesizing = false;
    long previousBlock = 0;  // the block size of the packet before, 0 when none counts
    bool holeBefore = false; // a hole since the last audio packet
    std::vector<Packet> packets;
};
