#include "RealPlayer.h"

#include <QDeadlineTimer>

RealPlayer::RealPlayer(const QString& program, const QString& plugins)
    : executable(program), pluginFolder(plugins)
{
}

RealPlayer::~RealPlayer()
{
    end();
}

bool RealPlayer::start(QProcessEnvironment environment, const QString& playlist, qsizetype rows)
{
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), pluginFolder);
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"),
                       QStringLiteral("brisnakaddfiles:") + playlist);
    program.setProcessEnvironment(environment);
    program.start(executable, {});
    if (!program.waitForStarted(10000)) {
        why = QStringLiteral("%1 did not start: %2").arg(executable, program.errorString());
        return false;
    }
    const QDeadlineTimer deadline(20000);
    while (!program.canReadLine() && program.state() == QProcess::Running && !deadline.hasExpired())
        program.waitForReadyRead(100);
    const QByteArray line = program.readLine().trimmed();
    if (line != "rows " + QByteArray::number(rows)) {
        why = QStringLiteral("brisnak reported \"%1\"; stderr: %2")
                  .arg(QString::fromLocal8Bit(line),
                       QString::fromLocal8Bit(program.readAllStandardError().right(4000)));
        return false;
    }
    return true;
}

void RealPlayer::end()
{
    if (program.state() == QProcess::NotRunning)
        return;
    program.terminate();
    if (!program.waitForFinished(10000)) {
        program.kill();
        program.waitForFinished(10000);
    }
}

QString RealPlayer::playerctl(const QProcessEnvironment& environment, const QStringList& arguments)
{
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral("playerctl"), arguments);
    if (!tool.waitForFinished(10000))
        return QStringLiteral("timed out");
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return QStringLiteral("exit %1: %2")
            .arg(tool.exitCode())
            .arg(QString::fromLocal8Bit(tool.readAllStandardError()).trimmed());
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}
