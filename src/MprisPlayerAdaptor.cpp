#include "MprisPlayerAdaptor.h"

#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MprisService.h"
#include "SoundPlayer.h"

#include <QAction>
#include <QDBusError>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

MprisPlayerAdaptor::MprisPlayerAdaptor(QObject* host, MainWindow& window,
                                       const QDBusConnection& bus)
    : QDBusAbstractAdaptor(host), window(window), bus(bus),
      tags(QStandardPaths::writableLocation(QStandardPaths::CacheLocation))
{
    connect(&tags, &TagReader::tagsRead, this, &MprisPlayerAdaptor::tagsRead);
    // Every way into the window's commands is one of these signals. The window connected its own
    // slots first (the form's set-up and its constructor), so these run after the command.
    const MainWindowForm& form = *window.form;
    for (QPushButton* button :
         {form.stopButton, form.pauseButton, form.playButton, form.previousButton, form.nextButton})
        connect(button, &QPushButton::clicked, this, &MprisPlayerAdaptor::announce);
    for (QAction* action :
         {form.menuStop, form.menuPause, form.menuPlay, form.menuPrevious, form.menuNext})
        connect(action, &QAction::triggered, this, &MprisPlayerAdaptor::announce);
    connect(form.listFiles, &QListWidget::itemDoubleClicked, this, &MprisPlayerAdaptor::announce);
    connect(window.timer, &QTimer::timeout, this, &MprisPlayerAdaptor::announceTick);
    connect(form.seekBar, &QSlider::sliderReleased, this, &MprisPlayerAdaptor::afterSeek);

    // What a client that comes now reads; later changes are announced from here on.
    announcedStatus = status();
    if (announcedStatus != Status::Stopped) {
        announcedPlay = currentPlay();
        announcedLength = lengthUs();
        tags.read(announcedPlay, window.player->GetPlayedPath());
    }
}

MprisPlayerAdaptor::Status MprisPlayerAdaptor::status() const
{
    SoundPlayer& player = *window.player;
    if (!player.IsChannelLive())
        return Status::Stopped;
    // The same test as the tick's: a channel at its end reports the length as its position.
    if (player.GetPosition() == player.GetLength())
        return Status::Stopped;
    return player.IsChannelPaused() ? Status::Paused : Status::Playing;
}

QString MprisPlayerAdaptor::statusName(Status state)
{
    switch (state) {
    case Status::Playing:
        return QStringLiteral("Playing");
    case Status::Paused:
        return QStringLiteral("Paused");
    case Status::Stopped:
        break;
    }
    return QStringLiteral("Stopped");
}

QString MprisPlayerAdaptor::playbackStatus() const
{
    return statusName(status());
}

QString MprisPlayerAdaptor::trackId(uint64_t play)
{
    return QStringLiteral("/org/brisnak/track/%1").arg(play);
}

uint64_t MprisPlayerAdaptor::currentPlay() const
{
    return window.player->GetPlayCount();
}

qlonglong MprisPlayerAdaptor::lengthUs() const
{
    return qlonglong(window.player->GetLength()) * 1000;
}

QVariantMap MprisPlayerAdaptor::metadata() const
{
    if (status() == Status::Stopped)
        return {};
    return metadataFor(currentPlay(), lengthUs());
}

QVariantMap MprisPlayerAdaptor::metadataFor(uint64_t play, qlonglong length) const
{
    if (play == 0)
        return {};
    const std::string& played = window.player->GetPlayedPath();
    const QFileInfo file(QString::fromLocal8Bit(played.data(), qsizetype(played.size())));
    QVariantMap out{
        {QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(trackId(play)))},
        {QStringLiteral("mpris:length"), length},
        {QStringLiteral("xesam:url"),
         QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded)},
        {QStringLiteral("xesam:title"), file.fileName()},
    };
    const TagReader::Tags* tagged = tags.tagsFor(play);
    if (!tagged)
        return out;
    if (!tagged->title.isEmpty())
        out.insert(QStringLiteral("xesam:title"), tagged->title);
    if (!tagged->artists.isEmpty())
        out.insert(QStringLiteral("xesam:artist"), tagged->artists);
    if (!tagged->album.isEmpty())
        out.insert(QStringLiteral("xesam:album"), tagged->album);
    if (tagged->trackNumber > 0)
        out.insert(QStringLiteral("xesam:trackNumber"), tagged->trackNumber);
    if (!tagged->picturePath.isEmpty())
        out.insert(QStringLiteral("mpris:artUrl"),
                   QUrl::fromLocalFile(tagged->picturePath).toString(QUrl::FullyEncoded));
    return out;
}

qlonglong MprisPlayerAdaptor::position() const
{
    return qlonglong(window.player->GetPosition()) * 1000;
}

void MprisPlayerAdaptor::Next()
{
    window.Next();
    announce();
}

void MprisPlayerAdaptor::Previous()
{
    window.Previous();
    announce();
}

void MprisPlayerAdaptor::Pause()
{
    if (!isPlaying())
        return;
    // Playing with the flag set: a row started after a pause, and the routine's first run only
    // clears the flag.
    const bool flagLeftSet = window.player->paused == 1;
    window.Pause();
    if (flagLeftSet)
        window.Pause();
    announce();
}

void MprisPlayerAdaptor::PlayPause()
{
    if (isPlaying())
        Pause();
    else
        Play();
}

void MprisPlayerAdaptor::Stop()
{
    window.Stop();
    announce();
}

void MprisPlayerAdaptor::Play()
{
    const Status before = status();
    if (before == Status::Playing)
        return;
    // Stopped with the flag set: the routine's first run resumes nothing and clears the flag.
    const bool flagLeftSet = before == Status::Stopped && window.player->paused == 1;
    window.Play();
    if (flagLeftSet)
        window.Play();
    announce();
}

void MprisPlayerAdaptor::Seek(qlonglong Offset)
{
    if (status() == Status::Stopped)
        return;
    const qlonglong length = lengthUs();
    const qlonglong now = position();
    // Clamped to the track without overflowing on extreme offsets.
    qlonglong target = 0;
    if (Offset >= length - now)
        target = length;
    else if (Offset > -now)
        target = now + Offset;
    seekTo(target / 1000);
}

void MprisPlayerAdaptor::SetPosition(const QDBusObjectPath& TrackId, qlonglong Position)
{
    if (status() == Status::Stopped || TrackId.path() != trackId())
        return;
    if (Position < 0 || Position > lengthUs())
        return;
    seekTo(Position / 1000);
}

void MprisPlayerAdaptor::OpenUri(const QString& Uri, const QDBusMessage& message)
{
    Q_UNUSED(Uri);
    message.setDelayedReply(true);
    bus.send(message.createErrorReply(
        QDBusError::NotSupported,
        QStringLiteral("Brisnak does not open URIs; files are added from its File menu")));
}

void MprisPlayerAdaptor::seekTo(qlonglong ms)
{
    window.form->seekBar->setValue(int(ms));
    window.SeekStart();
    afterSeek();
}

void MprisPlayerAdaptor::afterSeek()
{
    // SeekStart seeks only while some row is selected.
    if (!window.form->listFiles->selectedItems().isEmpty() && window.player->IsChannelLive())
        emit Seeked(position());
    announce();
}

void MprisPlayerAdaptor::announce()
{
    const Status now = status();
    const uint64_t play = now == Status::Stopped ? 0 : currentPlay();
    const qlonglong length = now == Status::Stopped ? 0 : lengthUs();
    announceAs(now, play, length);
}

void MprisPlayerAdaptor::announceTick()
{
    const MainWindow::TickReading& tick = window.lastTick;
    const uint64_t play = window.player->GetPlayCount();
    if (play != tick.play) {
        // The tick ran Next, which started a row: the slider's maximum is the length the window
        // read for it, 0 for a file the engine refused; a new channel starts unpaused.
        const qlonglong length = qlonglong(window.form->seekBar->maximum()) * 1000;
        if (length > 0)
            announceAs(Status::Playing, play, length);
        else
            announceAs(Status::Stopped, 0, 0);
    } else if (tick.position == tick.length) {
        announceAs(Status::Stopped, 0, 0);
    }
}

void MprisPlayerAdaptor::tagsRead(quint64 play)
{
    if (play == announcedPlay)
        announceAs(announcedStatus, announcedPlay, announcedLength);
}

void MprisPlayerAdaptor::announceAs(Status now, uint64_t play, qlonglong length)
{
    if (play != announcedPlay) {
        if (play == 0)
            tags.clear();
        else
            tags.read(play, window.player->GetPlayedPath());
    }
    const TagReader::Tags* tagged = tags.tagsFor(play);
    const bool withTags = tagged && !tagged->isEmpty();

    QVariantMap changed;
    if (now != announcedStatus)
        changed.insert(QStringLiteral("PlaybackStatus"), statusName(now));
    if (play != announcedPlay || length != announcedLength || withTags != announcedTags)
        changed.insert(QStringLiteral("Metadata"), metadataFor(play, length));
    if (changed.isEmpty())
        return;
    announcedStatus = now;
    announcedPlay = play;
    announcedLength = length;
    announcedTags = withTags;

    QDBusMessage signal = QDBusMessage::createSignal(
        QLatin1String(MprisService::objectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << changed << QStringList();
    bus.send(signal);
}
