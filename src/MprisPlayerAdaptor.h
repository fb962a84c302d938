// MprisPlayerAdaptor: the org.mpris.MediaPlayer2.Player interface, over the window's own routines
// and state. It adds no behaviour of its own: each command runs the routine of the window's button
// of the same name, guards included, so the desktop can do nothing the window cannot.
//
//   Play         nothing while "Playing"; otherwise the Play routine (resume a pause, or start a
//                row as the Play button does)
//   Pause        nothing unless "Playing"; otherwise the Pause routine (which does nothing while
//                no row is selected)
//   PlayPause    Pause while "Playing", Play otherwise
//   Stop, Next, Previous   the routine of that name (Next refuses on the last row, and so on)
//   Seek, SetPosition      set the seek slider's value and run SeekStart, as letting go of the
//                handle does; nothing while "Stopped"; SetPosition also ignores a stale track id
//                and a position outside the track. Seek past either end stops at that end (the
//                tick then moves on as at the end of any track).
//   OpenUri      refused with org.freedesktop.DBus.Error.NotSupported: rows come from Add files
//
// The window's `paused` flag can be left set while no paused channel exists (Stop after Pause, or
// a row started while paused). The Play and Pause routines then take their resume branch first,
// which only clears the flag and puts back the saved status text. Play and Pause run the routine a
// second time in that case, as a user would press the button again, so that they do what their
// names say.
//
// PlaybackStatus is read from the player as the window's commands left it:
//   "Stopped"  no live channel (nothing played yet, Stop, a file the engine could not open), or
//              the channel has played its sound to the end (its position equals the length);
//   "Paused"   the channel is live and the engine holds it paused (only Pause pauses a channel);
//   "Playing"  the channel is live, not paused and not at its end.
// The `paused` flag is not used for it: it tells which branch Play and Pause take next, not
// what is heard.
//
// Metadata describes the last play while the status is "Playing" or "Paused" and is empty while
// "Stopped": mpris:trackid (an object path numbered per play, so a restarted row is a new track),
// xesam:url (the file URL of the row's path), xesam:title and mpris:length (the engine's length, in
// microseconds). Position is the player's position in microseconds, read when asked.
//
// The file's tags are read (TagReader, off the window's thread) when a play is first announced
// with a status other than "Stopped", so never for a file the engine refused. Until they are in,
// and where the file has none, xesam:title is the file's name. Once they are in, Metadata is
// announced again with what they hold: xesam:title, xesam:artist, xesam:album,
// xesam:trackNumber and mpris:artUrl (the cover picture, written to the user's cache folder and
// removed when the track is no longer announced).
//
// PropertiesChanged carries PlaybackStatus and Metadata whenever they differ from what was last
// announced. They are compared after every command from the bus and after each of the window's own
// entry points has run (the buttons, the Playback menu, a double-click, the progress tick with its
// automatic advance, the slider's release). Seeked follows every seek that reached a live channel,
// from the bus or from the slider.
//
// The progress tick is the one periodic thing, and the adaptor asks the engine nothing after it:
// it reads what the tick itself read (MainWindow::TickReading) and the slider's new maximum. A
// tick that started a row announces that row, "Playing" when the engine gave it a length and
// "Stopped" when not; a tick that found the track at its end announces "Stopped"; any other tick
// changes nothing that was announced, since only commands pause, resume, stop or start a track.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QString>
#include <QVariantMap>

#include "TagReader.h"

#include <cstdint>

class MainWindow;

class MprisPlayerAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate CONSTANT)
    Q_PROPERTY(double MinimumRate READ rate CONSTANT)
    Q_PROPERTY(double MaximumRate READ rate CONSTANT)
    Q_PROPERTY(double Volume READ volume CONSTANT)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ canControl CONSTANT)
    Q_PROPERTY(bool CanGoPrevious READ canControl CONSTANT)
    Q_PROPERTY(bool CanPlay READ canControl CONSTANT)
    Q_PROPERTY(bool CanPause READ canControl CONSTANT)
    Q_PROPERTY(bool CanSeek READ canControl CONSTANT)
    Q_PROPERTY(bool CanControl READ canControl CONSTANT)

public:
    // `host` is the registered object; `window` must outlive it. PropertiesChanged goes out on
    // `bus`.
    MprisPlayerAdaptor(QObject* host, MainWindow& window, const QDBusConnection& bus);

    QString playbackStatus() const;
    QVariantMap metadata() const;
    qlonglong position() const;
    double rate() const { return 1.0; }
    double volume() const { return 1.0; }
    // The window never disables a control.
    bool canControl() const { return true; }

public slots:
    void Next();
    void Previous();
    void Pause();
    void PlayPause();
    void Stop();
    void Play();
    void Seek(qlonglong Offset);
    void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position);
    void OpenUri(const QString& Uri, const QDBusMessage& message);

signals:
    void Seeked(qlonglong Position);

private:
    enum class Status { Stopped, Paused, Playing };

    Status status() const;
    static QString statusName(Status state);
    // The metadata of play `play` (0: none, an empty map) of `length` microseconds.
    QVariantMap metadataFor(uint64_t play, qlonglong length) const;
    bool isPlaying() const { return status() == Status::Playing; }
    QString trackId() const { return trackId(currentPlay()); }
    static QString trackId(uint64_t play);
    uint64_t currentPlay() const;
    qlonglong lengthUs() const;
    // Moves the slider's value to `ms` and runs the window's seek, as letting go of the handle.
    void seekTo(qlonglong ms);
    // After SeekStart: Seeked when it reached a live channel, then announce().
    void afterSeek();
    // After a command: reads the player and announces what changed.
    void announce();
    // After the progress tick: announces what changed from what the tick read.
    void announceTick();
    // Sends PropertiesChanged for what differs from the last announcement.
    void announceAs(Status now, uint64_t play, qlonglong length);
    // The tags of `play` are in.
    void tagsRead(quint64 play);

    MainWindow& window;
    QDBusConnection bus;
    // What was last announced: the status, the play described (0 for none) and its length.
    Status announcedStatus = Status::Stopped;
    uint64_t announcedPlay = 0;
    qlonglong announcedLength = 0;
    // Whether the last Metadata announced held the tags of its play.
    bool announcedTags = false;
    TagReader tags;
};
