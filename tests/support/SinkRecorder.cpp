#include "SinkRecorder.h"

#include "ProcessEnd.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>

SinkRecorder::SinkRecorder(const QString& address) : address(address) {}

SinkRecorder::~SinkRecorder()
{
    ProcessEnd::kill(process);
}

bool SinkRecorder::start(const QString& source)
{
    if (!dir.isValid() || process.state() != QProcess::NotRunning)
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!address.isEmpty())
        env.insert("PULSE_SERVER", address);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Should the test die, the recorder goes with it instead of holding ctest's pipe open.
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    const QString path = dir.filePath("capture.wav");
    // A short fragment keeps the capture close to what the sink plays right now.
    process.start("parec",
                  {"-d", source, "--file-format=wav", "--format=s16le",
                   "--rate=" + QString::number(rate), "--channels=1", "--latency-msec=10", path});
    if (!process.waitForStarted(5000))
        return false;
    // The monitor of a running null sink yields samples (silence at least) all the time: the
    // recording is live once the file grows past its header.
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        if (QFileInfo(path).size() > 1024) {
            clock.start();
            return true;
        }
        QThread::msleep(5);
    }
    return false;
}

SoundCapture SinkRecorder::stop()
{
    // parec closes its file properly on SIGTERM.
    ProcessEnd::end(process);
    return SoundCapture::readWav(dir.filePath("capture.wav").toStdString());
}

double SinkRecorder::elapsed() const
{
    return clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
}
