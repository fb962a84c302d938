#include "AddFilesPlugin.h"

#include "AddFilesAnswer.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>

QObject* AddFilesPlugin::create(const QString& key, const QString& listFile)
{
    if (key.compare(QLatin1String("brisnakaddfiles"), Qt::CaseInsensitive) != 0)
        return nullptr;
    QFile list(listFile);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "brisnakaddfiles: cannot read %s\n", qPrintable(listFile));
        return nullptr;
    }
    QStringList paths;
    while (!list.atEnd()) {
        const QString line = QString::fromUtf8(list.readLine()).trimmed();
        if (!line.isEmpty())
            paths << line;
    }
    // Qt keeps the object until the application goes.
    auto* answer = new AddFilesAnswer(paths);
    QCoreApplication::instance()->installEventFilter(answer);
    return answer;
}
