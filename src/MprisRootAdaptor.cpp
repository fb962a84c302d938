#include "MprisRootAdaptor.h"

#include "MainWindow.h"

MprisRootAdaptor::MprisRootAdaptor(QObject* host, MainWindow& window)
    : QDBusAbstractAdaptor(host), window(window)
{
}

QStringList MprisRootAdaptor::supportedMimeTypes() const
{
    return {QStringLiteral("audio/mpeg"), QStringLiteral("audio/x-wav"),
            QStringLiteral("audio/wav"), QStringLiteral("audio/ogg"),
            QStringLiteral("audio/x-vorbis+ogg")};
}

void MprisRootAdaptor::Raise()
{
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
}

void MprisRootAdaptor::Quit()
{
    window.close();
}
