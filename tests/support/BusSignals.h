// BusSignals: the signals of a player's bus object as Qt signals, for QSignalSpy. Connect it to a
// client connection with listen(); each signal that arrives from the bus is emitted here.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class BusSignals : public QObject
{
    Q_OBJECT

public:
    // Listens on `client` for PropertiesChanged and Seeked from `service` at the MPRIS object path.
    bool listen(QDBusConnection client, const QString& service);

signals:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);
    void seeked(qlonglong position);
};
