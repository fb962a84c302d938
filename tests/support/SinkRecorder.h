// Records a PulseAudio source (a null sink's monitor) into a WAV file with parec, started as a
// child process and ended by its PID, and hands back what it heard.
//
// Threads: GUI (test) thread only.
#pragma once

#include "SoundCapture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class SinkRecorder
{
public:
    static constexpr int rate = 48000;

    // `address` is the PULSE_SERVER string to use; empty: the environment's.
    explicit SinkRecorder(const QString& address = QString());
    ~SinkRecorder();
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;

    // Starts recording `source` (mono, 16-bit, `rate` Hz) and waits until samples arrive.
    bool start(const QString& source);
    // Ends the recording and reads it back.
    SoundCapture stop();
    // Seconds since the first samples arrived: a rough place in the capture, good to a few tens
    // of milliseconds (the server's buffering).
    double elapsed() const;

private:
    QString address;
    QTemporaryDir dir;
    QProcess process;
    QElapsedTimer clock;
};
