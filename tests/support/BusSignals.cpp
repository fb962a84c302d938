#include "BusSignals.h"

bool BusSignals::listen(QDBusConnection client, const QString& service)
{
    const QString path = QStringLiteral("/org/mpris/MediaPlayer2");
    // The bus relays straight into this object's signals.
    return client.connect(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                          QStringLiteral("PropertiesChanged"), this,
                          SIGNAL(propertiesChanged(QString, QVariantMap, QStringList))) &&
           client.connect(service, path, QStringLiteral("org.mpris.MediaPlayer2.Player"),
                          QStringLiteral("Seeked"), this, SIGNAL(seeked(qlonglong)));
}
