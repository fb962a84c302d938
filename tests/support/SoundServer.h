// A private sound server with one sink ("brisnak_out", the default sink), run by a test as its own
// child processes and ended by their PIDs, so that a test can take the server away (as if it
// crashed) and bring it back at the same address. Either of the two servers Linux desktops ship:
// PulseAudio, or PipeWire with its PulseAudio service (and the WirePlumber session manager and a
// session bus of its own). Clients reach both through the PulseAudio protocol at address(). Its
// runtime files live in a temporary folder of its own, so a server that someone else runs on the
// machine is never touched. WirePlumber runs without its device monitors (ALSA, cameras,
// Bluetooth), so the server opens none of the machine's devices and needs no running
// systemd-logind, udev or system bus: it starts the same in a container.
//
// The sink is a null sink, or a pipe sink that writes what it plays into a FIFO (SinkTap reads
// it). A piped sink on PipeWire is kept running by a silent stream of the server's own, so that
// silence between sounds is written too, as a PulseAudio pipe sink writes it by itself.
//
// start() waits for what each step needs, as long as the programs it started are running: on a
// busy machine a step can take seconds, and only a program that has ended stops it early.
//
// Threads: GUI (test) thread only.
#pragma once

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <vector>

class SoundServer
{
public:
    enum class Kind { PulseAudio, PipeWire };

    // PulseAudio's sink takes `sinkRate` and float samples (16-bit ones, PulseAudio's default,
    // when `floatSink` is false); PipeWire's runs at its own clock rate (48 kHz), in float. With a
    // `sinkPipe` (a FIFO), the sink is a pipe sink writing float samples into it; the FIFO must
    // be read from before start() on.
    explicit SoundServer(Kind kind = Kind::PulseAudio, int sinkRate = 44100, bool floatSink = true,
                         const QString& sinkPipe = QString());
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // The kind BRISNAK_TEST_SOUND_SERVER names ("pipewire" or "pulseaudio", the default).
    static Kind kindFromEnvironment();
    static QString nameOf(Kind kind);
    // True when the programs this kind of server needs, and pactl, parec and pacat, are there.
    static bool toolsInstalled(Kind kind = Kind::PulseAudio);
    // True when a server answers at `address` (a PULSE_SERVER string; empty: the environment's).
    static bool answers(const QString& address);
    // The default sink of the server at `address`; empty when none answers.
    static QString defaultSink(const QString& address);

    // Starts the server and waits until it answers with its sink in place as the default sink;
    // false when one of its programs ends first, or nothing comes of it within a minute.
    bool start();
    // Ends it with SIGTERM and waits for it.
    void stop();
    // Ends it with SIGKILL, without giving it a chance to say goodbye to its clients.
    void kill();
    bool isRunning() const;
    // The process ids of its programs, for signals sent from another thread.
    QList<qint64> processIds() const;
    // Stops its programs (SIGSTOP): connections stay open and nothing answers, as with a hung
    // server. Continues them (SIGCONT) when `frozen` is false.
    void freeze(bool frozen);
    // Why the last start() failed: the step, and the end of each program's log.
    QString failure() const { return why; }

    Kind kind() const { return serverKind; }
    // The PULSE_SERVER string of this server.
    QString address() const;
    // The sink's rate, as the server reports it once started.
    int sinkRate() const { return rate; }
    static QString sinkName() { return QStringLiteral("brisnak_out"); }
    // The source that records what reaches the sink.
    static QString monitorSource() { return QStringLiteral("brisnak_out.monitor"); }
    // The players' streams on the server (its sink inputs), one row of `pactl list short
    // sink-inputs` each, split at its tabs: index, sink, client, driver, sample format.
    QList<QStringList> sinkInputs() const;
    // Suspends the sink (it plays nothing and asks its streams for nothing) or wakes it.
    bool suspendSink(bool suspended) const;

private:
    // Starts `program` with its standard error in a log of its own, and its standard output
    // thrown away unless `output`.
    QProcess* launch(const QString& program, const QStringList& arguments, bool output = false);
    static bool acceptsConnections(const QString& socketPath);
    bool startPipeWire();
    bool writeSessionManagerConfig();
    // Waits until `ready` holds, as long as every program started runs and the start's
    // deadline has not passed.
    bool waitFor(const std::function<bool()>& ready);
    bool answersWithItsSink() const;
    bool pactl(const QStringList& arguments, QString* output = nullptr) const;
    bool fail(const QString& step);

    const Kind serverKind;
    int rate;
    const bool floatSamples;
    const QString pipe;
    QTemporaryDir dir;
    QDeadlineTimer deadline;
    QString busAddress;
    QString why;
    // In start order; ended in reverse.
    std::vector<std::unique_ptr<QProcess>> processes;
};
