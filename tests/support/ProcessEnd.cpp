#include "ProcessEnd.h"

#include <QProcess>

void ProcessEnd::end(QProcess& process, int waitMs)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(waitMs))
        kill(process, waitMs);
}

void ProcessEnd::kill(QProcess& process, int waitMs)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(waitMs);
}
