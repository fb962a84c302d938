#include "VorbisStream.h"

VorbisStream::VorbisStream(int serial) : serialNumber(serial)
{
    ogg_stream_init(&stream, serial);
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
}

VorbisStream::~VorbisStream()
{
    if (synthesizing) {
        vorbis_block_clear(&block);
        vorbis_dsp_clear(&dsp);
    }
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    ogg_stream_clear(&stream);
}

int VorbisStream::rate() const
{
    return format.rate;
}

int VorbisStream::channels() const
{
    return format.channels;
}

int VorbisStream::longestPacket() const
{
    return format.longestPacket;
}

void VorbisStream::takeHeader(ogg_packet& packet)
{
    if (headers == 0 && !vorbis_synthesis_idheader(&packet)) {
        current = State::Broken;
        return;
    }
    if (vorbis_synthesis_headerin(&info, &comment, &packet) != 0) {
        current = State::Broken;
        return;
    }
    if (++headers == 1) {
        // Kept apart: libvorbis clears the whole vorbis_info when a later header fails, and the
        // link still lasts as long as its pages say, in this format.
        format.rate = info.rate > 0 && info.rate <= INT32_MAX ? static_cast<int>(info.rate) : 0;
        format.channels = info.channels;
        format.longestPacket = vorbis_info_blocksize(&info, 1) / 2;
    }
    if (headers == 3)
        current = State::Ready;
}

const std::vector<VorbisStream::Packet>& VorbisStream::takePage(ogg_page& page)
{
    packets.clear();
    if (ogg_stream_pagein(&stream, &page) != 0)
        return packets;
    for (;;) {
        ogg_packet packet;
        const int result = ogg_stream_packetout(&stream, &packet);
        if (result == 0)
            break;
        if (result < 0) {
            holeBefore = true;
            previousBlock = 0;
            // A header lost with the pages is not coming back.
            if (current == State::WantHeaders && headers > 0)
                current = State::Broken;
            continue;
        }
        if (current == State::WantHeaders) {
            takeHeader(packet);
            continue;
        }
        if (current != State::Ready)
            continue;
        const long size = vorbis_packet_blocksize(&info, &packet);
        if (size <= 0)
            continue; // no audio packet of this stream: neither counted nor decoded
        const int frames = previousBlock > 0 ? static_cast<int>((previousBlock + size) / 4) : 0;
        previousBlock = size;
        packets.push_back({packet, frames, holeBefore});
        holeBefore = false;
    }
    return packets;
}

void VorbisStream::reset()
{
    ogg_stream_reset(&stream);
    previousBlock = 0;
    holeBefore = false;
    if (synthesizing)
        vorbis_synthesis_restart(&dsp);
}

bool VorbisStream::startSynthesis()
{
    if (synthesizing)
        return true;
    if (current != State::Ready || vorbis_synthesis_init(&dsp, &info) != 0)
        return false;
    if (vorbis_block_init(&dsp, &block) != 0) {
        vorbis_dsp_clear(&dsp);
        return false;
    }
    synthesizing = true;
    return true;
}

int VorbisStream::synthesize(const Packet& counted, float*** pcm)
{
    if (!synthesizing)
        return 0;
    // Whatever the previous packet left undelivered is dropped.
    vorbis_synthesis_read(&dsp, vorbis_synthesis_pcmout(&dsp, nullptr));
    if (counted.afterHole)
        vorbis_synthesis_restart(&dsp);
    // Where the stream's frames start and end is the decoder's to say: libvorbis is not told the
    // packet's granule position nor whether it ends the stream, so it trims nothing.
    ogg_packet packet = counted.packet;
    packet.granulepos = -1;
    packet.e_o_s = 0;
    if (vorbis_synthesis(&block, &packet) != 0 || vorbis_synthesis_blockin(&dsp, &block) != 0)
        return 0;
    const int got = vorbis_synthesis_pcmout(&dsp, pcm);
    return got > 0 ? got : 0;
}
