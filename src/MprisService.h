// MprisService: the player on the session bus (MPRIS 2), where media keys, the desktop's media
// controls and tools such as playerctl find it. It puts one object at /org/mpris/MediaPlayer2 with
// the root interface (MprisRootAdaptor) and the Player interface (MprisPlayerAdaptor), then asks
// for the name org.mpris.MediaPlayer2.brisnak, or org.mpris.MediaPlayer2.brisnak.instance<pid>
// when another Brisnak holds that one.
//
// On a connection that is not connected (no session bus: a console, a CI job) it registers
// nothing and prints nothing; the window works as it does without it.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

class MainWindow;

class MprisService : public QObject
{
    Q_OBJECT

public:
    static constexpr const char* objectPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* baseName = "org.mpris.MediaPlayer2.brisnak";

    // `window` must outlive this object.
    MprisService(MainWindow& window, const QDBusConnection& bus, QObject* parent = nullptr);
    ~MprisService() override;

    // The bus name this player holds; empty without a bus, or when no name could be had.
    QString serviceName() const { return name; }

private:
    QDBusConnection bus;
    bool registered = false;
    QString name;
};
