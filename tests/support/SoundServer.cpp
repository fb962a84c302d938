#include "SoundServer.h"

#include "ProcessEnd.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

QProcessEnvironment clientEnvironment(const QString& address)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!address.isEmpty())
        env.insert("PULSE_SERVER", address);
    return env;
}

QString runPactl(const QString& address, const QStringList& arguments, bool* ok)
{
    QProcess pactl;
    pactl.setProcessEnvironment(clientEnvironment(address));
    pactl.start("pactl", arguments);
    const bool finished = pactl.waitForFinished(5000);
    if (!finished) {
        pactl.kill();
        pactl.waitForFinished(1000);
    }
    *ok = finished && pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0;
    return QString::fromLocal8Bit(pactl.readAllStandardOutput()).trimmed();
}

} // namespace

SoundServer::SoundServer(Kind kind, int sinkRate, bool floatSink, const QString& sinkPipe)
    : serverKind(kind), rate(sinkRate), floatSamples(floatSink), pipe(sinkPipe),
      dir(QStringLiteral("/tmp/brisnak-sound-XXXXXX"))
{
}

SoundServer::~SoundServer()
{
    stop();
}

SoundServer::Kind SoundServer::kindFromEnvironment()
{
    return qEnvironmentVariable("BRISNAK_TEST_SOUND_SERVER").toLower() == "pipewire"
               ? Kind::PipeWire
               : Kind::PulseAudio;
}

QString SoundServer::nameOf(Kind kind)
{
    return kind == Kind::PipeWire ? QStringLiteral("PipeWire") : QStringLiteral("PulseAudio");
}

bool SoundServer::toolsInstalled(Kind kind)
{
    QStringList tools{"pactl", "parec", "pacat"};
    if (kind == Kind::PipeWire)
        tools << "pipewire"
              << "wireplumber"
              << "pipewire-pulse"
              << "dbus-daemon";
    else
        tools << "pulseaudio";
    for (const QString& tool : tools) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return false;
    }
    return true;
}

bool SoundServer::answers(const QString& address)
{
    if (QStandardPaths::findExecutable("pactl").isEmpty())
        return false;
    bool ok = false;
    runPactl(address, {"info"}, &ok);
    return ok;
}

QString SoundServer::defaultSink(const QString& address)
{
    bool ok = false;
    const QString sink = runPactl(address, {"get-default-sink"}, &ok);
    return ok ? sink : QString();
}

QProcess* SoundServer::launch(const QString& program, const QStringList& arguments, bool output)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Nothing of the user's own sound set-up is read or written.
    env.insert("HOME", dir.path());
    env.insert("XDG_RUNTIME_DIR", dir.path());
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("XDG_STATE_HOME", dir.filePath("state"));
    env.insert("PULSE_RUNTIME_PATH", dir.path());
    env.insert("PULSE_STATE_PATH", dir.path());
    env.remove("PULSE_SERVER");
    if (!busAddress.isEmpty())
        env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    else
        env.remove("DBUS_SESSION_BUS_ADDRESS");
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    // Should the test die, its server goes with it.
    process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process->setStandardErrorFile(dir.filePath(program + ".log"), QIODevice::Append);
    if (!output)
        process->setStandardOutputFile(QProcess::nullDevice());
    process->start(program, arguments);
    if (!process->waitForStarted(30000))
        return nullptr;
    processes.push_back(std::move(process));
    return processes.back().get();
}

bool SoundServer::fail(const QString& step)
{
    why = step;
    for (const QString& name : QDir(dir.path()).entryList({"*.log"}, QDir::Files)) {
        QFile log(dir.filePath(name));
        if (log.open(QIODevice::ReadOnly))
            why += "\n" + name + ": " + QString::fromLocal8Bit(log.readAll().right(2000));
    }
    stop();
    return false;
}

bool SoundServer::start()
{
    why.clear();
    if (!dir.isValid() || isRunning())
        return false;
    // Far beyond what a start takes on a busy machine (seconds): only a server that never comes
    // up, without any of its programs ending, takes this long.
    deadline.setRemainingTime(60000);
    if (serverKind == Kind::PipeWire)
        return startPipeWire();
    const QString sink =
        pipe.isEmpty()
            ? QString("module-null-sink sink_name=%1 format=%2 rate=%3 channels=2")
                  .arg(sinkName(), floatSamples ? "float32le" : "s16le")
                  .arg(rate)
            : QString("module-pipe-sink sink_name=%1 file=%2 format=float32le rate=%3 channels=2 "
                      "use_system_clock_for_timing=yes")
                  .arg(sinkName(), pipe)
                  .arg(rate);
    if (!launch("pulseaudio", {"--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
                               "--log-target=stderr", "--load=" + sink,
                               "--load=module-native-protocol-unix auth-anonymous=1 socket=" +
                                   dir.filePath("native")}))
        return fail("pulseaudio did not start");
    if (!waitFor([this] { return defaultSink(address()) == sinkName(); }))
        return fail("pulseaudio did not answer with its sink as the default");
    return true;
}

bool SoundServer::writeSessionManagerConfig()
{
    // WirePlumber runs the .lua files of its folders under XDG_CONFIG_HOME and the system's
    // together, in the order of their names: these (80-) come after Debian's settings (50-) and
    // before the lines that start the monitors (90-), and turn off what the sink does not need:
    // the ALSA, camera and Bluetooth monitors. The first two would open this machine's own
    // sound cards and cameras; the last starts WirePlumber's logind plugin, which needs the folders
    // that a running systemd-logind keeps: without them (as in a container) WirePlumber gives up at
    // start, and no sink ever becomes the default.
    const QList<QPair<QString, QByteArray>> files{
        {"main.lua.d", "alsa_monitor.enabled = false\n"
                       "v4l2_monitor.enabled = false\n"
                       "libcamera_monitor.enabled = false\n"},
        {"bluetooth.lua.d", "bluez_monitor.enabled = false\n"}};
    for (const auto& [folder, text] : files) {
        const QString path = dir.filePath("config/wireplumber/" + folder);
        QFile file(path + "/80-test-server.lua");
        if (!QDir().mkpath(path) || !file.open(QIODevice::WriteOnly) ||
            file.write(text) != text.size())
            return false;
    }
    return true;
}

bool SoundServer::startPipeWire()
{
    if (!writeSessionManagerConfig())
        return fail("the session manager's configuration could not be written");
    // PipeWire and WirePlumber talk over a session bus: a private one, whose address the daemon
    // prints on its standard output.
    QProcess* bus = launch("dbus-daemon", {"--session", "--nofork", "--print-address=1"}, true);
    if (!bus || !waitFor([bus] { return bus->canReadLine() || bus->waitForReadyRead(50); }))
        return fail("the session bus did not start");
    busAddress = QString::fromLocal8Bit(bus->readLine()).trimmed();
    // Each program needs the one before it. WirePlumber and pipewire-pulse connect to PipeWire's
    // socket once, at their start: WirePlumber, started before the socket takes connections,
    // says "Failed to connect to PipeWire" and ends.
    if (!launch("pipewire", {}))
        return fail("pipewire did not start");
    if (!waitFor([this] { return acceptsConnections(dir.filePath("pipewire-0")); }))
        return fail("PipeWire's socket took no connection");
    if (!launch("wireplumber", {}) || !launch("pipewire-pulse", {}))
        return fail("wireplumber or pipewire-pulse did not start");
    if (!waitFor([this] { return answers(address()); }))
        return fail("pipewire-pulse did not answer");
    // The sink, once PipeWire makes it; then the default, which WirePlumber sets once it runs.
    QStringList sink{"load-module", pipe.isEmpty() ? "module-null-sink" : "module-pipe-sink",
                     "sink_name=" + sinkName(), "format=float32le", "channels=2"};
    if (!pipe.isEmpty())
        sink << "file=" + pipe;
    if (!waitFor([&] { return pactl(sink); }))
        return fail("the sink could not be made");
    if (!waitFor([this] {
            return pactl({"set-default-sink", sinkName()}) && defaultSink(address()) == sinkName();
        }))
        return fail("the sink did not become the default (WirePlumber sets it)");
    // PipeWire runs the sink at its graph's clock rate.
    rate = 0;
    QString sinks;
    pactl({"list", "short", "sinks"}, &sinks);
    for (const QString& line : sinks.split('\n')) {
        if (line.section('\t', 1, 1) == sinkName()) {
            const QString format = line.section('\t', 3, 3); // "float32le 2ch 48000Hz"
            rate = format.section(' ', 2, 2).chopped(2).toInt();
        }
    }
    if (rate <= 0)
        return fail("the sink's rate could not be read");
    if (pipe.isEmpty())
        return true;
    // A piped sink runs, and writes, only while a stream plays into it.
    if (!launch("pacat", {"--playback", "--server=" + address(), "--device=" + sinkName(), "--raw",
                          "--format=float32le", "--channels=2", "--rate=" + QString::number(rate),
                          "--latency-msec=100", "/dev/zero"}))
        return fail("the silent stream did not start");
    if (!waitFor([this] { return !sinkInputs().isEmpty(); }))
        return fail("the silent stream did not reach the sink");
    return true;
}

bool SoundServer::acceptsConnections(const QString& socketPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath.toLocal8Bit();
    if (path.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

bool SoundServer::waitFor(const std::function<bool()>& ready)
{
    for (;;) {
        if (ready())
            return true;
        for (const auto& process : processes) {
            if (process->state() != QProcess::Running)
                return false;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

bool SoundServer::pactl(const QStringList& arguments, QString* output) const
{
    bool ok = false;
    const QString text = runPactl(address(), arguments, &ok);
    if (output)
        *output = text;
    return ok;
}

QList<QStringList> SoundServer::sinkInputs() const
{
    QString text;
    pactl({"list", "short", "sink-inputs"}, &text);
    QList<QStringList> rows;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts))
        rows << line.split('\t');
    return rows;
}

bool SoundServer::suspendSink(bool suspended) const
{
    return pactl({"suspend-sink", sinkName(), suspended ? "1" : "0"});
}

void SoundServer::stop()
{
    for (auto it = processes.rbegin(); it != processes.rend(); ++it)
        ProcessEnd::end(**it);
    processes.clear();
    busAddress.clear();
}

void SoundServer::kill()
{
    for (auto it = processes.rbegin(); it != processes.rend(); ++it)
        ProcessEnd::kill(**it);
    processes.clear();
    busAddress.clear();
}

QList<qint64> SoundServer::processIds() const
{
    QList<qint64> ids;
    for (const auto& process : processes) {
        if (process->state() != QProcess::NotRunning)
            ids << process->processId();
    }
    return ids;
}

void SoundServer::freeze(bool frozen)
{
    for (const qint64 id : processIds())
        ::kill(static_cast<pid_t>(id), frozen ? SIGSTOP : SIGCONT);
}

bool SoundServer::isRunning() const
{
    for (const auto& process : processes) {
        if (process->state() != QProcess::NotRunning)
            return true;
    }
    return false;
}

QString SoundServer::address() const
{
    // Both servers put their socket under PULSE_RUNTIME_PATH.
    return "unix:" + dir.filePath("native");
}
