#include "DriverPlugin.h"

#include "DriverClock.h"
#include "ProgramDriver.h"

#include <QCoreApplication>
#include <cstdio>

QObject* DriverPlugin::create(const QString& key, const QString& commandFile)
{
    if (key.compare(QLatin1String("brisnakdriver"), Qt::CaseInsensitive) != 0)
        return nullptr;
    DriverClock::mark("plugin");
    QStringList command;
    if (!ProgramDriver::readLines(commandFile, command)) {
        std::fprintf(stderr, "brisnakdriver: cannot read %s\n", qPrintable(commandFile));
        return nullptr;
    }
    // Qt keeps the object until the application goes.
    auto* driver = new ProgramDriver(command);
    QCoreApplication::instance()->installEventFilter(driver);
    return driver;
}
