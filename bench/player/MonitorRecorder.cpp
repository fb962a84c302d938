#include "MonitorRecorder.h"

#include "ProcessEnd.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>

namespace
{

// The recorder takes at least this much, so that a busy machine does not
// make it lose samples.
constexpr int recorderLatencyMs = 20;

QStringList rawFloat(int rate, int latencyMs)
{
    return {"--raw", "--format=float32le", "--channels=2", "--rate=" + QString::number(rate),
            "--latency-msec=" + QString::number(latencyMs)};
}

} // namespace

MonitorRecorder::MonitorRecorder(const QString& serverAddress, const QString& sinkName, int rate,
                                 int buffer)
    : address(serverAddress), sink(sinkName), sinkRate(rate), bufferMs(buffer)
{
}

MonitorRecorder::~MonitorRecorder()
{
    ProcessEnd::end(recorder);
    ProcessEnd::end(keepAlive);
}

QProcess* MonitorRecorder::launch(QProcess& process, const QStringList& arguments)
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

bool MonitorRecorder::start()
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

std::vector<float> MonitorRecorder::stop()
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

qint64 MonitorRecorder::framesRecorded() const
{
    return QFileInfo(dir.filePath("capture.raw")).size() / qint64(2 * sizeof(float));
}
