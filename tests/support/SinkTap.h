// Hears what a sound server's sink plays, float for float. The sink is a pipe sink (SoundServer,
// given fifo()) that writes every frame it renders into a FIFO, as 32-bit float stereo at the
// sink's rate; it never rewinds, so a stream is there from its first frame, and silence is
// written as exact zeros. The tap drains the FIFO from a thread of its own for as long as it lives,
// from before the server starts and across its restarts, through a pipe buffer of a few seconds:
// a machine busy with other work delays the reader, it does not make it lose anything.
//
// What it hands back are the sounds, in order, with the silence between them left out: the gaps
// between tracks, and those a busy server puts into a stream. Measured on both servers with
// their own client (pacat) asking for 120 ms of buffering, as the player does, while three
// processes kept both cores busy: 6 of 10 plays on PulseAudio and 7 of 10 on PipeWire came back
// with silence put in (511 to 18 907 frames on PulseAudio, whole graph cycles of 1024 frames on
// PipeWire) where the stream's data came late, and every frame of the file after it, exact and
// in order. What the player sends is then still there, frame for frame, whatever the load.
//
// Threads: the test's thread; the reader thread only reads the FIFO and keeps what it read.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

class SinkTap
{
public:
    SinkTap();
    ~SinkTap();
    SinkTap(const SinkTap&) = delete;
    SinkTap& operator=(const SinkTap&) = delete;

    // The FIFO the sink writes into; empty when it could not be made.
    QString fifo() const { return path; }

    // Keeps what the sink plays from now on (what was kept before is dropped).
    void start();
    // Waits until the sink has played `frames` frames of exact silence in a row since start(),
    // at most `timeoutMs`: what the player and the server still held has then been played.
    bool waitForSilence(size_t frames, int timeoutMs = 30000);
    // Stops keeping and hands back what was kept, interleaved stereo, with every run of exact
    // silence of `gap` frames or more left out (a sound itself never holds one: noise never, a
    // sine at a crossing for a frame).
    std::vector<float> stop(size_t gap = 64);

private:
    void drain();

    QTemporaryDir dir;
    QString path;
    int fd = -1;
    std::atomic<bool> ending{false};
    std::mutex mutex;
    std::condition_variable grown;
    bool keeping = false;
    std::vector<float> kept;
    // Frames of exact silence at the end of what was read since start().
    size_t silentRun = 0;
    std::thread reader;
};
