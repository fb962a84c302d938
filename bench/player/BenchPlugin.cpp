#include "BenchPlugin.h"

#include "BenchClock.h"
#include "BenchDriver.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>

QObject* BenchPlugin::create(const QString& key, const QString& commandFile)
{
    if (key.compare(QLatin1String("brisnakbench"), Qt::CaseInsensitive) != 0)
        return nullptr;
    BenchClock::mark("plugin");
    QFile file(commandFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "brisnakbench: cannot read %s\n", qPrintable(commandFile));
        return nullptr;
    }
    QStringList command;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.isEmpty())
            command << line;
    }
    // Qt keeps the object until the application goes.
    auto* driver = new BenchDriver(command);
    QCoreApplication::instance()->installEventFilter(driver);
    return driver;
}
