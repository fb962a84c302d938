// Records a null sink's monitor as it renders, for the whole-player benchmarks that time when a
// sound is heard (the tests hear a pipe sink instead, SinkTap, which is exact but has no notion of
// when). It listens float for float: keeps the sink running with a silent stream of its own
// (so that silence between sounds is recorded as exact zeros, and a recorder that connects to a
// fresh server misses nothing), and records the sink's monitor as raw 32-bit float stereo at the
// sink's rate, so that no conversion stands between what a player sends and what is recorded.
//
// Threads: the main thread only.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <vector>

class MonitorRecorder
{
public:
    // `bufferMs` is the buffering the silent stream and the recorder ask for. Short (5 ms) keeps a
    // PulseAudio sink rendering only a few milliseconds ahead. PipeWire runs its whole graph in
    // quanta of the shortest buffering asked: at 5 ms a busy machine misses one now and then (a
    // quantum of silence in the recording), so it gets 100 ms.
    MonitorRecorder(const QString& address, const QString& sink, int rate, int bufferMs = 5);
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Starts the silent stream and the recorder, and waits until the recording is live.
    bool start();
    // Ends both and reads the recording back: interleaved stereo samples.
    std::vector<float> stop();
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
