#include "RealPlayer.h"

#include "ProcessEnd.h"

#include <QDeadlineTimer>
#include <QFile>

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
    // The driver's command file, beside the playlist: fill the playlist with it.
    const QString command = playlist + QStringLiteral(".command");
    QFile out(command);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text) ||
        out.write("fill\n" + playlist.toUtf8() + '\n') < 0) {
        why = QStringLiteral("cannot write %1").arg(command);
        return false;
    }
    out.close();
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), pluginFolder);
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"),
                       QStringLiteral("brisnakdriver:") + command);
    program.setProcessEnvironment(environment);
    program.start(executable, {});
    if (!program.waitForStarted(10000)) {
        why = QStringLiteral("%1 did not start: %2").arg(executable, program.errorString());
        return false;
    }
    // The driver notes the times of its steps first; "rows N" once the files are in.
    const QDeadlineTimer deadline(20000);
    QByteArray line;
    while (!line.startsWith("rows ") && program.state() == QProcess::Running &&
           !deadline.hasExpired()) {
        if (program.canReadLine())
            line = program.readLine().trimmed();
        else
            program.waitForReadyRead(100);
    }
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
    ProcessEnd::end(program, 10000);
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
