// Listens to a null sink float for float: keeps the sink running with a silent stream of its own
// (so that silence between sounds is recorded as exact zeros, and a recorder that connects to a
// fresh server misses nothing), and records the sink's monitor as raw 32-bit float stereo at the
// sink's rate, so that no conversion stands between what a player sends and what is recorded.
//
// Threads: GUI (test) thread only.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <vector>

class SinkTap
{
public:
    // `bufferMs` is the buffering the silent stream and the recorder ask for. Short (5 ms) keeps a
    // PulseAudio sink rendering only a few milliseconds ahead. PipeWire runs its whole graph in
    // quanta of the shortest buffering asked: at 5 ms a busy machine misses one now and then (a
    // quantum of silence in the recording), so it gets 100 ms.
    SinkTap(const QString& address, const QString& sink, int rate, int bufferMs = 5);
    ~SinkTap();
    SinkTap(const SinkTap&) = delete;
    SinkTap& operator=(const SinkTap&) = delete;

    // Starts the silent stream and the recorder, and waits until the recording is live.
    bool start();
    // Ends both and reads the recording back: interleaved stereo samples.
    std::vector<float> stop();
    // Plays `samples` (interleaved stereo at the sink's rate) through pacat, the server's own
    // client, and waits until it is done: a reference for what a stream that joins the running
    // sink looks like in the recording.
    bool playReference(const std::vector<float>& samples);

    // The latency the sink runs with, in frames, as the server reports it: how far ahead of
    // what is heard it renders, and so the most of a stream's start that the monitor can miss
    // when the stream joins the running sink (the server mixes it in by rewriting what it had
    // already rendered, which the monitor has already passed on).
    int sinkLatencyFrames() const;

    int rate() const { return sinkRate; }
    // The frames recorded so far: grows as the monitor delivers them, while recording.
    qint64 framesRecorded() const;

private:
    QProcess* launch(QProcess& process, const QStringList& arguments);

    QString address;
    QString sink;
    int sinkRate;
    int bufferMs;
    QTemporaryDir dir;
    QProcess keepAlive;
    QProcess recorder;
};
