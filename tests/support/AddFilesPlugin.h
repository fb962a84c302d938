// AddFilesPlugin: a Qt generic plugin that lets a test fill a real Brisnak's playlist through its
// own Add files command. Qt loads it into any Qt program started with
//     QT_PLUGIN_PATH=<folder holding generic/>  QT_QPA_GENERIC_PLUGINS=brisnakaddfiles:<list>
// where <list> is a text file of absolute paths, one a line (see AddFilesAnswer).
#pragma once

#include <QGenericPlugin>

class AddFilesPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "AddFilesPlugin.json")

public:
    QObject* create(const QString& key, const QString& listFile) override;
};
