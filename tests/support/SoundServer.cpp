#include "SoundServer.h"

#include "ProcessEnd.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>

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

SoundServer::SoundServer(Kind kind, int sinkRate, bool floatSink)
    : serverKind(kind), rate(sinkRate), floatSamples(floatSink),
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

QProcess* SoundServer::launch(const QString& program, const QStringList& arguments)
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
    process->start(program, arguments);
    if (!process->waitForStarted(5000))
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
    if (serverKind == Kind::PipeWire)
        return startPipeWire();
    QProcess* server = launch(
        "pulseaudio",
        {"--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=stderr",
         QString("--load=module-null-sink sink_name=%1 format=%2 rate=%3 channels=2")
             .arg(sinkName(), floatSamples ? "float32le" : "s16le")
             .arg(rate),
         "--load=module-native-protocol-unix auth-anonymous=1 socket=" + dir.filePath("native")});
    if (!server)
        return fail("pulseaudio did not start");
    server->setStandardOutputFile(QProcess::nullDevice());
    if (!waitUntilAnswering())
        return fail("pulseaudio did not answer");
    return true;
}

bool SoundServer::writeSessionManagerConfig()
{
    // WirePlumber runs the .lua files of its folders under XDG_CONFIG_HOME and the system's
    // together, in the order of their names: these (80-) come after Debian's settings (50-) and
    // before the lines that start the monitors (90-), and turn off what the null sink does not
    // need: the ALSA, camera and Bluetooth monitors. The first two would open this machine's own
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
    QProcess* bus = launch("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus || !bus->waitForReadyRead(5000))
        return fail("the session bus did not start");
    busAddress = QString::fromLocal8Bit(bus->readLine()).trimmed();
    for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse"}) {
        QProcess* process = launch(program, {});
        if (!process)
            return fail(QString("%1 did not start").arg(program));
        process->setStandardOutputFile(QProcess::nullDevice());
    }
    if (!waitUntilAnswering())
        return fail("pipewire-pulse did not answer");
    // pipewire-pulse answers before PipeWire itself is ready to make the sink, and the sink
    // appears a little after the module is loaded: each step is tried again until it is done.
    bool made = false;
    bool chosen = false;
    for (const QDeadlineTimer deadline(10000); !chosen && !deadline.hasExpired();) {
        made = made || pactl({"load-module", "module-null-sink", "sink_name=" + sinkName(),
                              "format=float32le", "channels=2"});
        chosen = made && pactl({"set-default-sink", sinkName()});
        if (!chosen)
            QThread::msleep(50);
    }
    if (!chosen)
        return fail(made ? "the null sink did not appear" : "the null sink could not be made");
    // PipeWire runs the sink at its graph's clock rate.
    QString sinks;
    pactl({"list", "short", "sinks"}, &sinks);
    for (const QString& line : sinks.split('\n')) {
        if (line.section('\t', 1, 1) == sinkName()) {
            const QString format = line.section('\t', 3, 3); // "float32le 2ch 48000Hz"
            rate = format.section(' ', 2, 2).chopped(2).toInt();
        }
    }
    return rate > 0 || fail("the sink's rate could not be read");
}

bool SoundServer::waitUntilAnswering()
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (answers(address()) &&
            (serverKind == Kind::PipeWire || !defaultSink(address()).isEmpty()))
            return true;
        for (const auto& process : processes) {
            if (process->state() != QProcess::Running)
                return false;
        }
        QThread::msleep(50);
    }
    return false;
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
