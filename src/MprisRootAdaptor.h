// MprisRootAdaptor: the org.mpris.MediaPlayer2 interface of the player's bus object. Raise shows
// and activates the window; Quit closes it, which ends the program as closing it by hand does.
// The player keeps no track list and opens no files from the bus.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QString>
#include <QStringList>

class MainWindow;

class MprisRootAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit CONSTANT)
    Q_PROPERTY(bool CanRaise READ canRaise CONSTANT)
    Q_PROPERTY(bool HasTrackList READ hasTrackList CONSTANT)
    Q_PROPERTY(QString Identity READ identity CONSTANT)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry CONSTANT)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes CONSTANT)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes CONSTANT)

public:
    // `host` is the registered object; `window` must outlive it.
    MprisRootAdaptor(QObject* host, MainWindow& window);

    bool canQuit() const { return true; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const { return QStringLiteral("Brisnak"); }
    // The installed desktop entry, brisnak.desktop, without its suffix.
    QString desktopEntry() const { return QStringLiteral("brisnak"); }
    QStringList supportedUriSchemes() const { return {QStringLiteral("file")}; }
    // MP3, WAV and Ogg Vorbis, with the aliases desktops use for them.
    QStringList supportedMimeTypes() const;

public slots:
    void Raise();
    void Quit();

private:
    MainWindow& window;
};
