// DriverPlugin: a Qt generic plugin that carries ProgramDriver into a Qt program that knows nothing
// of it: the real Brisnak as the user starts it (for its tests and benchmarks), or a benchmark's
// floor program. Qt loads it while the
// QApplication is being built, into any Qt program started with
//     QT_PLUGIN_PATH=<folder holding generic/>  QT_QPA_GENERIC_PLUGINS=brisnakdriver:<command file>
// where the command file holds the driver's command, one word a line (see ProgramDriver.h).
//
// Threads: GUI thread only.
#pragma once

#include <QGenericPlugin>

class DriverPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "DriverPlugin.json")

public:
    QObject* create(const QString& key, const QString& commandFile) override;
};
