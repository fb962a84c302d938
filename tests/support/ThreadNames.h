// ThreadNames: the names of this process's threads that begin with `prefix`, sorted, as the kernel
// lists them (/proc/self/task/*/comm). The engine names its own ("brisnak-read", "brisnak-device",
// "brisnak-clock"), so a test sees which of them are still running.
//
// Threads: any.
#pragma once

#include <QDir>
#include <QFile>
#include <QStringList>

class ThreadNames
{
public:
    static QStringList now(const QString& prefix = {})
    {
        QStringList names;
        for (const QString& task :
             QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile name("/proc/self/task/" + task + "/comm");
            if (!name.open(QIODevice::ReadOnly))
                continue;
            const QString thread = QString::fromLocal8Bit(name.readAll().trimmed());
            if (thread.startsWith(prefix))
                names << thread;
        }
        names.sort();
        return names;
    }
};
