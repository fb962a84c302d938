// What the player's bus object (MprisService and its two adaptors) adds to the window, called from
// a second connection on a private session bus as a desktop would: the properties and how
// PlaybackStatus and Metadata read the window's states (support/CommandTable.h), which window
// routine each command runs and what Play and Pause leave alone, seeking, the announcements, the
// tags and cover picture, the instance name and a player with no bus at all.
#include "BusSignals.h"
#include "CommandTable.h"
#include "MainWindow.h"
#include "MainWindowProbe.h"
#include "MprisService.h"
#include "PrivateSessionBus.h"
#include "SoundPlayer.h"
#include "TaggedFiles.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <optional>

using Format = AudioFixtures::Format;

#ifndef BRISNAK_RESOURCES_DIR
#error "BRISNAK_RESOURCES_DIR must name the resources folder"
#endif

namespace
{

const QString service = QStringLiteral("org.mpris.MediaPlayer2.brisnak");
const QString rootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

// A value as it came off the bus, with variants unwrapped and dictionaries (Metadata) read.
QVariant unwrap(QVariant value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>() &&
        value.value<QDBusArgument>().currentSignature() == QLatin1String("a{sv}"))
        value = qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    if (value.metaType() == QMetaType::fromType<QVariantMap>()) {
        QVariantMap map = value.toMap();
        for (QVariant& entry : map)
            entry = unwrap(entry);
        return map;
    }
    return value;
}

QString trackIdIn(const QVariantMap& metadata)
{
    return metadata.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>().path();
}

// The picture file that Metadata's mpris:artUrl names; empty when it names none.
QString pictureIn(const QVariantMap& metadata)
{
    return QUrl(metadata.value(QStringLiteral("mpris:artUrl")).toString()).toLocalFile();
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class MprisTest : public QObject
{
    Q_OBJECT

    PrivateSessionBus bus;
    QDBusConnection playerBus{QString()};
    QDBusConnection client{QString()};
    CommandTable table;
    TaggedFiles tagged;
    // Where the player writes cover pictures.
    QTemporaryDir cache;
    QString pictures;

    // The window in a state of the table, its player on the bus, and the player's signals as the
    // desktop hears them.
    struct Scene {
        MainWindowProbe probe;
        std::optional<MprisService> mpris;
        BusSignals relay;
    };
    // Reaches `state` through the window's own commands, the timer's ticks held back unless
    // `ticks` is set, then puts the player on the bus.
    bool reach(Scene& scene, const char* state, bool ticks = false)
    {
        const QList<const CommandTable::Row*> path = table.pathTo(CommandTable::state(state));
        if (!table.open(scene.probe, path.isEmpty() ? CommandTable::state(state) : path[0]->from,
                        ticks))
            return false;
        for (const CommandTable::Row* row : path)
            CommandTable::run(scene.probe, row->command, false);
        scene.mpris.emplace(scene.probe.window(), playerBus);
        return table.differences(scene.probe, CommandTable::state(state)).isEmpty() &&
               scene.relay.listen(client, service);
    }

    // A call from the client connection. The player answers on this same thread, so the wait
    // runs the event loop.
    QDBusMessage call(const QString& method, const QVariantList& arguments = {},
                      const QString& interface = playerInterface, const QString& to = service)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            to, QStringLiteral("/org/mpris/MediaPlayer2"), interface, method);
        message.setArguments(arguments);
        return client.call(message, QDBus::BlockWithGui, 10000);
    }

    bool succeeds(const QString& method, const QVariantList& arguments = {})
    {
        return call(method, arguments).type() == QDBusMessage::ReplyMessage;
    }

    QVariant property(const QString& name, const QString& to = service)
    {
        const QDBusMessage reply = call(QStringLiteral("Get"), {playerInterface, name},
                                        QStringLiteral("org.freedesktop.DBus.Properties"), to);
        return unwrap(reply.arguments().value(0));
    }

    QVariantMap allProperties(const QString& interface)
    {
        return unwrap(call(QStringLiteral("GetAll"), {interface},
                           QStringLiteral("org.freedesktop.DBus.Properties"))
                          .arguments()
                          .value(0))
            .toMap();
    }

    QString status() { return property(QStringLiteral("PlaybackStatus")).toString(); }
    QVariantMap metadata() { return property(QStringLiteral("Metadata")).toMap(); }
    qlonglong position() { return property(QStringLiteral("Position")).toLongLong(); }
    QString trackId() { return trackIdIn(metadata()); }

    // Metadata of the track of `row` in `state`'s world (the three rows when none is given)
    // before its tags are in, without its track id.
    QVariantMap described(int row, const CommandTable::State* state = CommandTable::state("Fresh"))
    {
        const QFileInfo file(table.path(state, row));
        return {{"mpris:length", qlonglong(table.length(state, row)) * 1000},
                {"xesam:url", QUrl::fromLocalFile(file.absoluteFilePath()).toString()},
                {"xesam:title", file.fileName()}};
    }

    // `metadata` without its track id, which differs from play to play.
    static QVariantMap withoutId(QVariantMap metadata)
    {
        metadata.remove(QStringLiteral("mpris:trackid"));
        return metadata;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
        playerBus = bus.connect(QStringLiteral("player"));
        client = bus.connect(QStringLiteral("desktop"));
        QVERIFY(playerBus.isConnected() && client.isConnected());
        QVERIFY(table.isValid());
        QVERIFY(tagged.isValid());
        // A cache folder of this run's own, so that the pictures of other runs stay apart.
        QVERIFY(cache.isValid());
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
        pictures = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        QVERIFY(pictures.startsWith(cache.path()));
    }

    // Every property of both interfaces, with its type, as a stopped player shows them; the two
    // a client may try to set are refused, and so is a URI to open.
    void shouldDescribeTheProgramAndAStoppedPlayer()
    {
        MainWindowProbe probe;
        {
            MprisService mpris(probe.window(), playerBus);
            QCOMPARE(mpris.serviceName(), service);
            const QVariantMap root = allProperties(rootInterface);
            const QString entry = root.value("DesktopEntry").toString();
            const QVariantMap expected{{"Identity", "Brisnak"},
                                       {"CanQuit", true},
                                       {"CanRaise", true},
                                       {"HasTrackList", false},
                                       {"DesktopEntry", "brisnak"},
                                       {"SupportedUriSchemes", QStringList{"file"}},
                                       {"SupportedMimeTypes", root.value("SupportedMimeTypes")}};
            QCOMPARE(root, expected);
            // The desktop finds the entry the package installs, and each format the player reads
            // under the name its MIME database gives it.
            QVERIFY(
                QFileInfo::exists(QStringLiteral(BRISNAK_RESOURCES_DIR "/") + entry + ".desktop"));
            const QStringList types = root.value("SupportedMimeTypes").toStringList();
            for (const char* name : {"a.mp3", "a.wav", "a.ogg"})
                QVERIFY(types.contains(
                    QMimeDatabase()
                        .mimeTypeForFile(QLatin1String(name), QMimeDatabase::MatchExtension)
                        .name()));

            const QVariantMap player = allProperties(playerInterface);
            QVariantMap stopped{{"PlaybackStatus", "Stopped"},
                                {"Metadata", QVariantMap()},
                                {"Position", qlonglong(0)}};
            for (const char* name : {"Rate", "MinimumRate", "MaximumRate", "Volume"})
                stopped.insert(name, 1.0);
            for (const char* name :
                 {"CanGoNext", "CanGoPrevious", "CanPlay", "CanPause", "CanSeek", "CanControl"})
                stopped.insert(name, true);
            QCOMPARE(player, stopped);
            for (auto it = stopped.cbegin(); it != stopped.cend(); ++it)
                QCOMPARE(player.value(it.key()).metaType(), it->metaType());
            for (const char* name : {"Volume", "Rate"}) {
                const QDBusMessage reply = call(
                    QStringLiteral("Set"),
                    {playerInterface, QLatin1String(name), QVariant::fromValue(QDBusVariant(0.5))},
                    QStringLiteral("org.freedesktop.DBus.Properties"));
                QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
            }
            QCOMPARE(property("Volume"), QVariant(1.0));

            // Rows come from Add files only.
            const QDBusMessage refused =
                call(QStringLiteral("OpenUri"), {described(0).value("xesam:url")});
            QCOMPARE(refused.errorName(), QString("org.freedesktop.DBus.Error.NotSupported"));
            QVERIFY(!refused.errorMessage().isEmpty());
            QCOMPARE(probe.list()->count(), 0);
        }
        // The name goes with the player.
        QVERIFY(!client.interface()->isServiceRegistered(service));
    }

    void shouldRaiseAndQuitTheWindow()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show());
        MprisService mpris(probe.window(), playerBus);
        QWidget& window = probe.window();
        // Minimised, hidden, and another window active.
        window.showMinimized();
        window.hide();
        QWidget other;
        other.show();
        QVERIFY(QTest::qWaitForWindowActive(&other));

        QVERIFY(call(QStringLiteral("Raise"), {}, rootInterface).type() ==
                QDBusMessage::ReplyMessage);
        QTRY_VERIFY(window.isActiveWindow());
        QVERIFY(window.isVisible() && !window.isMinimized());
        QVERIFY(call(QStringLiteral("Quit"), {}, rootInterface).type() ==
                QDBusMessage::ReplyMessage);
        QTRY_VERIFY(!window.isVisible());
    }

    // PlaybackStatus and Metadata in every state of the table: "Playing" and "Paused" as the
    // player sounds or holds the track, which Metadata then describes; "Stopped" without a live
    // channel or at the track's end, with no Metadata. The paused flag plays no part.
    void shouldReadTheStatusOffTheWindow_data()
    {
        QTest::addColumn<QString>("state");
        for (const CommandTable::State& state : CommandTable::states())
            QTest::newRow(state.name) << QString::fromLatin1(state.name);
    }

    void shouldReadTheStatusOffTheWindow()
    {
        QFETCH(QString, state);
        const CommandTable::State* at = CommandTable::state(qPrintable(state));
        Scene scene;
        QVERIFY(reach(scene, qPrintable(state)));
        const char* expected = at->sound == CommandTable::Sound::Playing ? "Playing"
                               : at->sound == CommandTable::Sound::Held  ? "Paused"
                                                                         : "Stopped";
        QCOMPARE(status(), QString(expected));
        const QVariantMap now = metadata();
        if (status() == QLatin1String("Stopped")) {
            QCOMPARE(now, QVariantMap());
            return;
        }
        QCOMPARE(withoutId(now), described(at->track, at));
        QVERIFY(trackIdIn(now).startsWith(QLatin1String("/org/brisnak/track/")));
    }

    // Each command from the bus runs the window's routine of that name, and the window ends in
    // the state the table gives; Play does nothing while "Playing", Pause nothing unless
    // "Playing", and both run the routine twice where its first run would only take the resume
    // path. `track`: whether the track after is the one before, another, or none.
    void shouldRunTheWindowsRoutines_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("track");
        struct Case {
            const char* name;
            const char* from;
            const char* command;
            const char* to;
            const char* track;
        };
        // clang-format off
        const Case cases[] = {
            {"Play starts a row", "Fresh", "Play", "Playing0", "another"},
            {"Play while playing", "Playing0", "Play", "Playing0", "same"},
            {"Play resumes", "Paused0", "Play", "Playing0", "same"},
            {"Play after Pause and Stop starts a row", "Paused0Stopped", "Play", "Playing0", "another"},
            {"Pause pauses", "Playing0", "Pause", "Paused0", "same"},
            {"Pause while paused", "Paused0", "Pause", "Paused0", "same"},
            {"Pause while stopped", "Stopped0", "Pause", "Stopped0", "none"},
            // What the window shows of a row started while paused, once paused, is Paused1.
            {"Pause on a row started while paused", "Paused0Next", "Pause", "Paused1", "same"},
            {"PlayPause pauses", "Playing0", "PlayPause", "Paused0", "same"},
            {"PlayPause starts", "Stopped0", "PlayPause", "Playing0", "another"},
            {"Stop", "Playing0", "Stop", "Stopped0", "none"},
            {"Next", "Playing0", "Next", "Playing1", "another"},
            {"Previous", "Playing1", "Previous", "Playing0", "another"},
        };
        // clang-format on
        for (const Case& row : cases)
            QTest::newRow(row.name) << QString(row.from) << QString(row.command) << QString(row.to)
                                    << QString(row.track);
    }

    void shouldRunTheWindowsRoutines()
    {
        QFETCH(QString, from);
        QFETCH(QString, command);
        QFETCH(QString, to);
        QFETCH(QString, track);

        Scene scene;
        QVERIFY(reach(scene, qPrintable(from)));
        const QString before = trackId();
        QVERIFY(succeeds(command));
        const QString diff = table.differences(scene.probe, CommandTable::state(qPrintable(to)));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
        const QString after = trackId();
        if (track == QLatin1String("none"))
            QCOMPARE(after, QString());
        else if (track == QLatin1String("same"))
            QCOMPARE(after, before);
        else
            QVERIFY(!after.isEmpty() && after != before);
        QVERIFY(after.isEmpty() || after.startsWith(QLatin1String("/org/brisnak/track/")));
    }

    // Stopped, nothing is sought, from the bus or the slider, and nothing announced. Then seeks
    // while paused, where the position holds still and can be compared exactly.
    void shouldSeekWithinTheTrack()
    {
        Scene scene;
        QVERIFY(reach(scene, "Stopped0"));
        MainWindowProbe& probe = scene.probe;
        QSignalSpy seeked(&scene.relay, &BusSignals::seeked);
        QVERIFY(succeeds("Seek", {qlonglong(1'000'000)}));
        QVERIFY(
            succeeds("SetPosition",
                     {QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/brisnak/track/1"))),
                      qlonglong(1'000'000)}));
        probe.dragSliderTo(2000);
        QCOMPARE(position(), 0);

        QVERIFY(succeeds("Play") && succeeds("Pause"));
        QVERIFY(probe.holdsStill());
        const QString id = trackId();
        const qlonglong length = qlonglong(table.length(CommandTable::state("Fresh"), 0)) * 1000;
        const qlonglong start = position();

        // Each seek: by an offset (Seek) or to a position (SetPosition, with a track id), and
        // where it leaves the player; -1 where it is ignored.
        struct Case {
            bool to;
            QString track;
            qlonglong at;
            qlonglong expected;
        };
        const Case cases[] = {
            {false, {}, 10'000'000, (start + 10'000'000) / 1000 * 1000},
            {false, {}, -4'000'000, (start + 6'000'000) / 1000 * 1000},
            {false, {}, -1'000'000'000, 0},
            {true, id, 20'000'000, 20'000'000},
            {true, id, 0, 0},
            {true, QStringLiteral("/org/brisnak/track/999"), 5'000'000, -1},
            {true, id, -1, -1},
            {true, id, length + 1, -1},
            {true, id, 7'000'000, 7'000'000},
        };
        qlonglong at = 0;
        for (const Case& seek : cases) {
            const qsizetype announced = seeked.size();
            QVERIFY(seek.to ? succeeds("SetPosition",
                                       {QVariant::fromValue(QDBusObjectPath(seek.track)), seek.at})
                            : succeeds("Seek", {seek.at}));
            if (seek.expected >= 0) {
                at = seek.expected;
                QTRY_COMPARE(seeked.size(), announced + 1);
                QCOMPARE(seeked.last().value(0).toLongLong(), at);
            }
            QCOMPARE(position(), at);
            QCOMPARE(qlonglong(probe.seekBar()->value()) * 1000, at);
        }
        QCOMPARE(seeked.size(), 6);

        // Letting go of the slider's handle in the window is a seek too.
        probe.dragSliderTo(15'000);
        QTRY_COMPARE(seeked.size(), 7);
        QCOMPARE(seeked.last().value(0).toLongLong(), 15'000'000);

        // Playback resumes from where the seeks left it; a seek to the very end ends the track.
        QVERIFY(succeeds("Play"));
        QVERIFY(probe.passes(15'100));
        QVERIFY(succeeds("SetPosition", {QVariant::fromValue(QDBusObjectPath(id)), length}));
        QTRY_COMPARE(seeked.size(), 8);
        QVERIFY(seeked.last().value(0).toLongLong() >= length - 1000);
    }

    // PropertiesChanged, for the Player interface, whenever PlaybackStatus or the track changes,
    // whatever changed it: the bus, the window's buttons or the timer's tick.
    void shouldAnnounceStatusAndTrackChanges()
    {
        Scene scene;
        // On the bus while row 0 plays, as when a desktop comes after the program.
        QVERIFY(reach(scene, "Playing0", true));
        MainWindowProbe& probe = scene.probe;
        QSignalSpy changes(&scene.relay, &BusSignals::propertiesChanged);

        // Each step, by the bus, a button or the track playing to its end, and what it announces:
        // the status (null: unchanged) and the row of the track (-1: none; -2: nothing at all).
        struct Step {
            const char* by;
            const char* what;
            const char* status;
            int track;
        };
        const Step steps[] = {
            {"button", "pauseButton", "Paused", 0},
            {"button", "nextButton", "Playing", 1},
            {"bus", "Pause", "Paused", 1},
            {"bus", "Play", "Playing", 1},
            // A seek past the end stops there, and the tick's automatic advance follows: the
            // status stays, the track changes.
            {"bus", "Seek", nullptr, 2},
            // The last row ends while the row above is current: Next refuses, the player stops.
            {"end", "", "Stopped", -1},
            // Stop changes nothing now, and says nothing: the next announcement is Play's.
            {"bus", "Stop", nullptr, -2},
            {"bus", "Play", "Playing", 2},
        };
        int track = 0;
        for (const Step& step : steps) {
            const qsizetype before = changes.size();
            if (step.by == QLatin1String("bus"))
                QVERIFY(
                    succeeds(step.what, step.what == QLatin1String("Seek")
                                            ? QVariantList{std::numeric_limits<qlonglong>::max()}
                                            : QVariantList()));
            else if (step.by == QLatin1String("button"))
                probe.click(step.what);
            else
                QVERIFY(probe.playToTheEnd());
            if (step.track == -2)
                continue;
            QTRY_COMPARE(changes.size(), before + 1);
            const QList<QVariant> arguments = changes.last();
            QCOMPARE(arguments.value(0).toString(), playerInterface);
            QCOMPARE(arguments.value(2).toStringList(), QStringList());
            QVariantMap expected;
            if (step.status)
                expected.insert("PlaybackStatus", step.status);
            if (step.track != track)
                expected.insert("Metadata", step.track < 0 ? QVariantMap() : described(step.track));
            QVariantMap changed = unwrap(arguments.value(1)).toMap();
            if (changed.contains("Metadata"))
                changed.insert("Metadata", withoutId(changed.value("Metadata").toMap()));
            QCOMPARE(changed, expected);
            track = step.track;
        }
    }

    // The same file in two rows is two tracks of the same length. A file the engine refuses,
    // started by the tick at the end of the track before, is no track, and is not read for tags
    // however well tagged.
    void shouldAnnounceEachRowThatStarts()
    {
        const QString refused =
            tagged.write(QStringLiteral("silenced.mp3"), Format::Mp3,
                         {QStringLiteral("Never Heard"), {}, {}, 0, {}},
                         {{TaggedFiles::picture(32, 32, "PNG", Qt::yellow), true}}, 2.0);
        // Every byte after the ID3v2 tag (10 bytes of header, then a syncsafe size) made zero:
        // no MPEG frame is left, but the tag is intact.
        QFile file(refused);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray head = file.read(10);
        const qint64 tagEnd =
            10 + ((qint64(head[6] & 0x7f) << 21) | (qint64(head[7] & 0x7f) << 14) |
                  (qint64(head[8] & 0x7f) << 7) | qint64(head[9] & 0x7f));
        QVERIFY(head.startsWith("ID3") && file.seek(tagEnd));
        file.write(QByteArray(file.size() - tagEnd, '\0'));
        file.close();
        QCOMPARE(TagReader::readFile(QFile::encodeName(refused).toStdString(), QString()).title,
                 QString("Never Heard"));

        const QString path = table.path(CommandTable::state("Fresh"), 0);
        MainWindowProbe probe;
        QVERIFY(probe.show({path, path, refused}));
        MprisService mpris(probe.window(), playerBus);
        BusSignals relay;
        QVERIFY(relay.listen(client, service));
        QSignalSpy changes(&relay, &BusSignals::propertiesChanged);
        QVERIFY(succeeds("Play"));
        QTRY_COMPARE(changes.size(), 1);
        const QString first = trackId();
        QVERIFY(succeeds("Next"));
        QTRY_COMPARE(changes.size(), 2);
        QVariantMap changed = unwrap(changes.last().value(1)).toMap();
        QCOMPARE(changed.keys(), QStringList{"Metadata"});
        QCOMPARE(withoutId(changed.value("Metadata").toMap()), described(0));
        QVERIFY(trackIdIn(changed.value("Metadata").toMap()) != first);

        QVERIFY(probe.playToTheEnd());
        QTRY_COMPARE(changes.size(), 3);
        QCOMPARE(probe.status(), QStringLiteral("Cannot play: ") + refused);
        changed = unwrap(changes.last().value(1)).toMap();
        QCOMPARE(changed,
                 (QVariantMap{{"PlaybackStatus", "Stopped"}, {"Metadata", QVariantMap()}}));
        // A read would have written the picture within milliseconds; two ticks pass first.
        QSignalSpy ticks(probe.timer(), &QTimer::timeout);
        QTRY_COMPARE(ticks.size(), 2);
        QCOMPARE(QDir(pictures).entryList(QDir::Files), QStringList());
    }

    // What a file's tags say, read off the window's thread when its track is first announced and
    // announced after the track itself, and only what they hold; its cover picture, written once
    // per track, goes with the track. The length stays the engine's and the window's text names
    // the path.
    void shouldDescribeATrackByItsTags()
    {
        const TaggedFiles::Tags full{QStringLiteral("Harbour Lights"),
                                     {QStringLiteral("The Quiet Ones")},
                                     QStringLiteral("Night Crossing"),
                                     3,
                                     {}};
        const QList<QByteArray> covers{TaggedFiles::picture(48, 48, "PNG", Qt::darkCyan),
                                       TaggedFiles::picture(32, 32, "PNG", Qt::red)};
        const QStringList rows{tagged.write(QStringLiteral("full.ogg"), Format::OggVorbis, full,
                                            {{covers[0], true}}, 20.0),
                               tagged.write(QStringLiteral("title.ogg"), Format::OggVorbis,
                                            {QStringLiteral("Title Alone"), {}, {}, 0, {}},
                                            {{covers[1], true}}, 20.0)};
        QVERIFY(!rows.contains(QString()));
        const auto written = [this] { return QDir(pictures).entryList(QDir::Files); };

        MainWindowProbe probe;
        QVERIFY(probe.show(rows));
        {
            MprisService mpris(probe.window(), playerBus);
            BusSignals relay;
            QVERIFY(relay.listen(client, service));
            QSignalSpy changes(&relay, &BusSignals::propertiesChanged);
            QVERIFY(succeeds("Play"));
            QTRY_COMPARE(changes.size(), 2);
            QCOMPARE(unwrap(changes.at(0).value(1))
                         .toMap()
                         .value("Metadata")
                         .toMap()
                         .value("xesam:title"),
                     QVariant(QFileInfo(rows[0]).fileName()));
            const QVariantMap now = metadata();
            const QString first = pictureIn(now);
            QCOMPARE(contents(first), covers[0]);
            QCOMPARE(written(), QStringList{QFileInfo(first).fileName()});
            QCOMPARE(withoutId(now),
                     (QVariantMap{{"xesam:title", full.title},
                                  {"xesam:artist", full.artists},
                                  {"xesam:album", full.album},
                                  {"xesam:trackNumber", full.trackNumber},
                                  {"mpris:artUrl", QUrl::fromLocalFile(first).toString()},
                                  {"xesam:url", QUrl::fromLocalFile(rows[0]).toString()},
                                  {"mpris:length", qlonglong(probe.player().GetLength()) * 1000}}));
            QCOMPARE(unwrap(changes.at(1).value(1)).toMap(), (QVariantMap{{"Metadata", now}}));
            QCOMPARE(probe.status(), MainWindowProbe::nowPlaying(rows[0]));

            // Pause, resume and the ticks between them neither read it again nor write it again.
            const QDateTime at = QFileInfo(first).lastModified();
            QVERIFY(succeeds("Pause") && succeeds("Play"));
            QSignalSpy ticks(probe.timer(), &QTimer::timeout);
            QTRY_COMPARE(ticks.size(), 2);
            QCOMPARE(metadata(), now);
            QCOMPARE(QFileInfo(first).lastModified(), at);

            // The next track: a title and a picture, nothing else; the first picture is gone.
            QVERIFY(succeeds("Next"));
            QTRY_VERIFY(!pictureIn(metadata()).isEmpty());
            QCOMPARE(metadata().keys(), (QStringList{"mpris:artUrl", "mpris:length",
                                                     "mpris:trackid", "xesam:title", "xesam:url"}));
            QCOMPARE(written(), QStringList{QFileInfo(pictureIn(metadata())).fileName()});

            // Stopped: no track, no picture; playing again writes it anew.
            QVERIFY(succeeds("Stop"));
            QCOMPARE(written(), QStringList());
            QVERIFY(succeeds("Play"));
            QTRY_COMPARE(written().size(), 1);
        }
        // The picture goes with the player.
        QCOMPARE(written(), QStringList());
    }

    void shouldTakeAnInstanceNameWhenTheNameIsTaken()
    {
        Scene first;
        MainWindowProbe second;
        QVERIFY(reach(first, "Fresh"));
        QVERIFY(second.show({table.path(CommandTable::state("Fresh"), 0)}));
        MprisService two(second.window(), bus.connect(QStringLiteral("second player")));
        const QString instance =
            service + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
        QCOMPARE(first.mpris->serviceName(), service);
        QCOMPARE(two.serviceName(), instance);

        // Each name reaches its own window.
        QCOMPARE(call("Play", {}, playerInterface, instance).type(), QDBusMessage::ReplyMessage);
        QVERIFY(second.player().IsChannelLive());
        QVERIFY(!first.probe.player().IsChannelLive());
        QCOMPARE(property("PlaybackStatus", instance), QVariant("Playing"));
        QCOMPARE(property("PlaybackStatus", service), QVariant("Stopped"));
    }

    void shouldPlayAsBeforeWithoutABus()
    {
        const QDBusConnection none = QDBusConnection::connectToBus(
            QStringLiteral("unix:path=/nonexistent/no-bus-here"), QStringLiteral("no bus"));
        QVERIFY(!none.isConnected());
        // Not a word about it.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("(?i)d-?bus|mpris")));

        MainWindowProbe probe;
        MprisService mpris(probe.window(), none);
        QVERIFY(mpris.serviceName().isEmpty());
        QVERIFY(table.open(probe, CommandTable::state("Fresh")));
        CommandTable::run(probe, CommandTable::Play, false);
        const QString diff = table.differences(probe, CommandTable::state("Playing0"));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
        QVERIFY(probe.advances());
        QDBusConnection::disconnectFromBus(QStringLiteral("no bus"));
    }
};

QTEST_MAIN(MprisTest)
#include "MprisTest.moc"
