// A private PulseAudio server with one null sink ("brisnak_out"), run by a test as its own child
// process and ended by that process's PID, so that a test can take the sound server away (as if it
// crashed) and bring it back at the same address. Its runtime files live in a temporary folder of
// its own, so a server that someone else runs on the machine is never touched.
//
// Threads: GUI (test) thread only.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class PulseServer
{
public:
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // True when the pulseaudio, pactl and parec programs are installed.
    static bool toolsInstalled();
    // True when a server answers at `address` (a PULSE_SERVER string; empty: the environment's).
    static bool answers(const QString& address);
    // The default sink of the server at `address`; empty when none answers.
    static QString defaultSink(const QString& address);

    // Starts the server and waits until it answers; false when it does not within a few seconds.
    bool start();
    // Ends it with SIGTERM and waits for it.
    void stop();
    // Ends it with SIGKILL, without giving it a chance to say goodbye to its clients.
    void kill();
    bool isRunning() const;

    // The PULSE_SERVER string of this server.
    QString address() const;
    // The source that records what reaches the null sink.
    static QString monitorSource() { return QStringLiteral("brisnak_out.monitor"); }

private:
    QTemporaryDir dir;
    QProcess process;
};
