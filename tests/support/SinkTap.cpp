#include "SinkTap.h"

#include "ProcessEnd.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>

namespace
{

// The recorder and the reference player take at least this much, so that a busy machine does not
// make them lose samples.
constexpr int recorderLatencyMs = 20;
constexpr int referenceLatencyMs = 100;

QStringList rawFloat(int rate, int latencyMs)
{
    return {"--raw", "--format=float32le", "--channels=2", "--rate=" + QString::number(rate),
            "--latency-msec=" + QString::number(latencyMs)};
}

} // namespace

SinkTap::SinkTap(const QString& serverAddress, const QString& sinkName, int rate, int buffer)
    : address(serverAddress), sink(sinkName), sinkRate(rate), bufferMs(buffer)
{
}

SinkTap::~SinkTap()
{
    ProcessEnd::end(recorder);
    ProcessEnd::end(keepAlive);
}

QProcess* SinkTap::launch(QProcess& process, const QStringList& arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PULSE_SERVER", address);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Should the test die, its helpers go with it instead of holding ctest's pipe open.
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    const QString program = arguments.first();
    process.start(program, arguments.mid(1));
    return process.waitForStarted(5000) ? &process : nullptr;
}

bool SinkTap::start()
{
    if (!dir.isValid())
        return false;
    keepAlive.setStandardInputFile("/dev/zero");
    if (!launch(keepAlive,
                QStringList{"pacat", "--playback", "-d", sink} + rawFloat(sinkRate, bufferMs)))
        return false;
    const QString path = dir.filePath("capture.raw");
    if (!launch(recorder, QStringList{"parec", "-d", sink + ".monitor"} +
                              rawFloat(sinkRate, std::max(bufferMs, recorderLatencyMs)) +
                              QStringList{path}))
        return false;
    // Live once the file grows: the silent stream keeps the monitor delivering.
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && recorder.state() == QProcess::Running) {
        if (QFileInfo(path).size() > 8 * sinkRate / 10)
            return true;
        QThread::msleep(5);
    }
    return false;
}

std::vector<float> SinkTap::stop()
{
    // parec writes what it has on SIGTERM.
    ProcessEnd::end(recorder);
    ProcessEnd::end(keepAlive);
    QFile file(dir.filePath("capture.raw"));
    std::vector<float> samples;
    if (!file.open(QIODevice::ReadOnly))
        return samples;
    const QByteArray bytes = file.readAll();
    samples.resize(static_cast<size_t>(bytes.size()) / (2 * sizeof(float)) * 2);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * sizeof(float));
    return samples;
}

bool SinkTap::playReference(const std::vector<float>& samples)
{
    const QString path = dir.filePath("reference.raw");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(samples.data()),
                   static_cast<qint64>(samples.size() * sizeof(float))) !=
            static_cast<qint64>(samples.size() * sizeof(float)))
        return false;
    file.close();
    QProcess player;
    if (!launch(player, QStringList{"pacat", "--playback", "-d", sink} +
                            rawFloat(sinkRate, referenceLatencyMs) + QStringList{path}))
        return false;
    return player.waitForFinished(30000) && player.exitCode() == 0;
}

qint64 SinkTap::framesRecorded() const
{
    return QFileInfo(dir.filePath("capture.raw")).size() / qint64(2 * sizeof(float));
}

int SinkTap::sinkLatencyFrames() const
{
    QProcess pactl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PULSE_SERVER", address);
    pactl.setProcessEnvironment(env);
    pactl.start("pactl", {"list", "sinks"});
    if (!pactl.waitForFinished(5000))
        return -1;
    // "Latency: 1995 usec, configured 5000 usec" under the sink's own section.
    const QString text = QString::fromLocal8Bit(pactl.readAllStandardOutput());
    const qsizetype at = text.indexOf("Name: " + sink);
    if (at < 0)
        return -1;
    static const QRegularExpression latency("Latency: (\\d+) usec, configured (\\d+) usec");
    const QRegularExpressionMatch match = latency.match(text, at);
    if (!match.hasMatch())
        return -1;
    const qint64 usec = std::max(match.captured(1).toLongLong(), match.captured(2).toLongLong());
    return static_cast<int>(usec * sinkRate / 1000000);
}
