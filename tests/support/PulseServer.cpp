#include "PulseServer.h"

#include <QDeadlineTimer>
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

PulseServer::PulseServer() : dir(QStringLiteral("/tmp/brisnak-pulse-XXXXXX"))
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    // Should the test die, its server goes with it.
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.setStandardOutputFile(dir.filePath("log"), QIODevice::Append);
}

PulseServer::~PulseServer()
{
    stop();
}

bool PulseServer::toolsInstalled()
{
    for (const char* tool : {"pulseaudio", "pactl", "parec"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return false;
    }
    return true;
}

bool PulseServer::answers(const QString& address)
{
    if (QStandardPaths::findExecutable("pactl").isEmpty())
        return false;
    bool ok = false;
    runPactl(address, {"info"}, &ok);
    return ok;
}

QString PulseServer::defaultSink(const QString& address)
{
    bool ok = false;
    const QString sink = runPactl(address, {"get-default-sink"}, &ok);
    return ok ? sink : QString();
}

bool PulseServer::start()
{
    if (!dir.isValid() || isRunning())
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Nothing of the user's own PulseAudio set-up is read or written.
    env.insert("HOME", dir.path());
    env.insert("PULSE_RUNTIME_PATH", dir.path());
    env.insert("PULSE_STATE_PATH", dir.path());
    env.remove("PULSE_SERVER");
    process.setProcessEnvironment(env);
    process.start(
        "pulseaudio",
        {"--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=stderr",
         "--load=module-null-sink sink_name=brisnak_out",
         "--load=module-native-protocol-unix auth-anonymous=1 socket=" + dir.filePath("native")});
    if (!process.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (answers(address()))
            return true;
        if (process.state() != QProcess::Running)
            return false;
        QThread::msleep(50);
    }
    stop();
    return false;
}

void PulseServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void PulseServer::kill()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

bool PulseServer::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

QString PulseServer::address() const
{
    return "unix:" + dir.filePath("native");
}
