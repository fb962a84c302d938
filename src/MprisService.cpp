#include "MprisService.h"

#include "MprisPlayerAdaptor.h"
#include "MprisRootAdaptor.h"

#include <QCoreApplication>

MprisService::MprisService(MainWindow& window, const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus(bus)
{
    if (!this->bus.isConnected())
        return;

    // The adaptors are children of the registered object; the bus finds them by their interfaces.
    new MprisRootAdaptor(this, window);
    new MprisPlayerAdaptor(this, window, this->bus);
    registered =
        this->bus.registerObject(QLatin1String(objectPath), this, QDBusConnection::ExportAdaptors);
    if (!registered)
        return;

    // The object is in place before the name appears, so a client that sees the name can call.
    const QString base = QLatin1String(baseName);
    const QString instance =
        base + QStringLiteral(".instance") + QString::number(QCoreApplication::applicationPid());
    for (const QString& candidate : {base, instance}) {
        if (this->bus.registerService(candidate)) {
            name = candidate;
            break;
        }
    }
}

MprisService::~MprisService()
{
    if (!name.isEmpty())
        bus.unregisterService(name);
    if (registered)
        bus.unregisterObject(QLatin1String(objectPath));
}
