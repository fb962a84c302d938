// The player's bus object (MprisService and its two adaptors) on a private session bus that the
// test starts itself, called from a second connection as a desktop would: the interfaces, every
// method and property, the signals, how PlaybackStatus follows the window, a second instance's
// name and a player with no bus at all. The window runs on the real engine with tones of distinct
// lengths, so the slider's maximum and the metadata tell which row sounds.
#include "BusSignals.h"
#include "MainWindow.h"
#include "MainWindowProbe.h"
#include "MprisService.h"
#include "PrivateSessionBus.h"
#include "SoundPlayer.h"
#include "TagReader.h"
#include "TaggedFiles.h"
#include "ToneFiles.h"

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
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QXmlStreamReader>
#include <optional>

using Format = AudioFixtures::Format;
Q_DECLARE_METATYPE(Format)

#ifndef BRISNAK_RESOURCES_DIR
#error "BRISNAK_RESOURCES_DIR must name the resources folder"
#endif

namespace
{

const QString service = QStringLiteral("org.mpris.MediaPlayer2.brisnak");
const QString objectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString rootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A value as it came off the bus, with variants unwrapped and dictionaries (Metadata) read.
QVariant unwrap(QVariant value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const auto argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == QLatin1String("a{sv}")) {
            QVariantMap map = qdbus_cast<QVariantMap>(argument);
            for (QVariant& entry : map)
                entry = unwrap(entry);
            return map;
        }
    }
    return value;
}

QVariantMap unwrapMap(const QVariantMap& map)
{
    QVariantMap out;
    for (auto it = map.begin(); it != map.end(); ++it)
        out.insert(it.key(), unwrap(it.value()));
    return out;
}

// Every method, signal and property of the two MPRIS interfaces in the introspection `xml`, as
// "method Player.Seek(x)", "signal Player.Seeked(x)" or "property Player.Position x read".
QSet<QString> members(const QString& xml)
{
    QSet<QString> out;
    QXmlStreamReader reader(xml);
    QString interface;
    QString member;
    QString kind;
    QString signature;
    while (!reader.atEnd()) {
        reader.readNext();
        const auto attribute = [&](const char* name) {
            return reader.attributes().value(QLatin1String(name)).toString();
        };
        if (reader.isStartElement()) {
            const QStringView tag = reader.name();
            if (tag == QLatin1String("interface")) {
                interface = attribute("name").replace(rootInterface, QStringLiteral("Root"));
                interface.replace(QStringLiteral("Root.Player"), QStringLiteral("Player"));
            } else if (tag == QLatin1String("method") || tag == QLatin1String("signal")) {
                kind = tag.toString();
                member = attribute("name");
                signature.clear();
            } else if (tag == QLatin1String("arg") &&
                       (kind == QLatin1String("signal") || attribute("direction") != "out")) {
                signature += attribute("type");
            } else if (tag == QLatin1String("property")) {
                out << QStringLiteral("property %1.%2 %3 %4")
                           .arg(interface, attribute("name"), attribute("type"),
                                attribute("access"));
            }
        } else if (reader.isEndElement() && !kind.isEmpty() &&
                   (reader.name() == QLatin1String("method") ||
                    reader.name() == QLatin1String("signal"))) {
            out << QStringLiteral("%1 %2.%3(%4)").arg(kind, interface, member, signature);
            kind.clear();
        }
    }
    QSet<QString> mpris;
    for (const QString& entry : out)
        if (entry.contains(QLatin1String(" Root.")) || entry.contains(QLatin1String(" Player.")))
            mpris << entry;
    return mpris;
}

} // namespace

class MprisTest : public QObject
{
    Q_OBJECT

    PrivateSessionBus bus;
    QDBusConnection playerBus{QString()};
    QDBusConnection client{QString()};
    const QList<double> seconds{30.0, 31.0, 32.0};
    ToneFiles tones;
    QStringList paths;
    TaggedFiles tagged;
    // Where the player writes cover pictures (the test mode's cache folder).
    QString pictures;

    QStringList picturesWritten() const
    {
        return QDir(pictures).entryList(QDir::Files, QDir::Name);
    }

    static QByteArray contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The picture file that Metadata's mpris:artUrl names; empty when it names none.
    static QString pictureIn(const QVariantMap& metadata)
    {
        return QUrl(metadata.value(QStringLiteral("mpris:artUrl")).toString()).toLocalFile();
    }

    // A call from the client connection. The player answers on this same thread, so the wait
    // runs the event loop.
    QDBusMessage call(const QString& method, const QVariantList& arguments = {},
                      const QString& interface = playerInterface, const QString& to = service)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(to, objectPath, interface, method);
        message.setArguments(arguments);
        return client.call(message, QDBus::BlockWithGui, 10000);
    }

    bool succeeds(const QString& method, const QVariantList& arguments = {})
    {
        return call(method, arguments).type() == QDBusMessage::ReplyMessage;
    }

    QVariant property(const QString& name, const QString& interface = playerInterface,
                      const QString& to = service)
    {
        const QDBusMessage reply =
            call(QStringLiteral("Get"), {interface, name}, propertiesInterface, to);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {};
        return unwrap(reply.arguments().value(0));
    }

    QVariantMap allProperties(const QString& interface)
    {
        const QDBusMessage reply = call(QStringLiteral("GetAll"), {interface}, propertiesInterface);
        return unwrap(reply.arguments().value(0)).toMap();
    }

    QString status() { return property(QStringLiteral("PlaybackStatus")).toString(); }
    QVariantMap metadata() { return property(QStringLiteral("Metadata")).toMap(); }
    qlonglong position() { return property(QStringLiteral("Position")).toLongLong(); }
    QString trackId() { return trackIdIn(metadata()); }

    static QString trackIdIn(const QVariantMap& metadata)
    {
        return metadata.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>().path();
    }

    // Whether `metadata` describes row `row` (-1: no track at all); `why` says what differs.
    bool describes(const QVariantMap& metadata, int row, QByteArray& why) const
    {
        QStringList out;
        if (row < 0) {
            if (!metadata.isEmpty())
                out << QStringLiteral("metadata of a track: %1").arg(metadata.keys().join(' '));
        } else {
            const QFileInfo file(paths[row]);
            const auto check = [&](const char* key, const QVariant& expected) {
                const QVariant actual = metadata.value(QLatin1String(key));
                if (actual != expected)
                    out << QStringLiteral("%1: %2, expected %3")
                               .arg(QLatin1String(key), actual.toString(), expected.toString());
            };
            check("xesam:title", file.fileName());
            check("xesam:url",
                  QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded));
            check("mpris:length", qlonglong(ToneFiles::lengthMs(seconds[row])) * 1000);
            if (!trackIdIn(metadata).startsWith(QLatin1Char('/')))
                out << QStringLiteral("no track id");
            if (metadata.size() != 4)
                out << QStringLiteral("keys %1").arg(metadata.keys().join(' '));
        }
        why = out.join(QStringLiteral("; ")).toUtf8();
        return out.isEmpty();
    }

    // A user's action on the window, by name.
    void act(MainWindowProbe& probe, const QString& step)
    {
        if (step == QLatin1String("DoubleClick2")) {
            probe.doubleClickRow(2);
        } else if (step == QLatin1String("ClickRow1")) {
            probe.clickRow(1);
        } else if (step == QLatin1String("Deselect")) {
            // Ctrl-click on the selected row leaves the single-selection list without one.
            QListWidget* list = probe.list();
            const int row = probe.selectedRows().value(0);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier,
                              list->visualItemRect(list->item(row)).center());
            QVERIFY(list->selectedItems().isEmpty());
        } else if (step == QLatin1String("End")) {
            QVERIFY(probe.playToTheEnd());
        } else if (step == QLatin1String("Missing")) {
            probe.addRows({QDir(tones.path()).filePath(QStringLiteral("missing.wav"))});
            probe.doubleClickRow(probe.list()->count() - 1);
        } else {
            probe.command(step.toLatin1().constData(), false);
        }
    }

    // The window with the three rows, its player on the bus, and the player's signals as the
    // desktop hears them.
    struct OnTheBus {
        MainWindowProbe probe;
        std::optional<MprisService> mpris;
        BusSignals relay;
    };
    bool putOnTheBus(OnTheBus& scene)
    {
        if (!scene.probe.show(paths))
            return false;
        scene.mpris.emplace(scene.probe.window(), playerBus);
        return scene.relay.listen(client, service);
    }

    // Shows the window with the three rows (none after "Empty") and runs `steps`.
    bool prepare(MainWindowProbe& probe, QStringList steps)
    {
        const bool empty = steps.value(0) == QLatin1String("Empty");
        if (empty)
            steps.removeFirst();
        if (!probe.show(empty ? QStringList() : paths))
            return false;
        for (const QString& step : std::as_const(steps)) {
            act(probe, step);
            if (QTest::currentTestFailed())
                return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
        playerBus = bus.connect(QStringLiteral("player"));
        client = bus.connect(QStringLiteral("desktop"));
        QVERIFY(playerBus.isConnected());
        QVERIFY(client.isConnected());
        QVERIFY(tones.isValid());
        paths = tones.wavs(QStringLiteral("row"), seconds);
        QCOMPARE(paths.size(), seconds.size());
        QVERIFY(tagged.isValid());
        QStandardPaths::setTestModeEnabled(true);
        pictures = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        QVERIFY(QDir(pictures).removeRecursively());
    }

    void shouldTakeTheNameAndOfferBothInterfaces()
    {
        MainWindowProbe probe;
        {
            MprisService mpris(probe.window(), playerBus);
            QCOMPARE(mpris.serviceName(), service);
            QVERIFY(client.interface()->isServiceRegistered(service));

            const QDBusMessage reply = call(QStringLiteral("Introspect"), {},
                                            QStringLiteral("org.freedesktop.DBus.Introspectable"));
            QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
            const QSet<QString> expected{
                "method Root.Raise()",
                "method Root.Quit()",
                "property Root.CanQuit b read",
                "property Root.CanRaise b read",
                "property Root.HasTrackList b read",
                "property Root.Identity s read",
                "property Root.DesktopEntry s read",
                "property Root.SupportedUriSchemes as read",
                "property Root.SupportedMimeTypes as read",
                "method Player.Next()",
                "method Player.Previous()",
                "method Player.Pause()",
                "method Player.PlayPause()",
                "method Player.Stop()",
                "method Player.Play()",
                "method Player.Seek(x)",
                "method Player.SetPosition(ox)",
                "method Player.OpenUri(s)",
                "signal Player.Seeked(x)",
                "property Player.PlaybackStatus s read",
                "property Player.Rate d read",
                "property Player.Metadata a{sv} read",
                "property Player.Volume d read",
                "property Player.Position x read",
                "property Player.MinimumRate d read",
                "property Player.MaximumRate d read",
                "property Player.CanGoNext b read",
                "property Player.CanGoPrevious b read",
                "property Player.CanPlay b read",
                "property Player.CanPause b read",
                "property Player.CanSeek b read",
                "property Player.CanControl b read",
            };
            const QSet<QString> offered = members(reply.arguments().value(0).toString());
            const QSet<QString> missing = expected - offered;
            const QSet<QString> extra = offered - expected;
            QVERIFY2(missing.isEmpty(), qPrintable(QStringList(missing.values()).join(", ")));
            QVERIFY2(extra.isEmpty(), qPrintable(QStringList(extra.values()).join(", ")));
        }
        // The name goes with the player.
        QVERIFY(!client.interface()->isServiceRegistered(service));
    }

    void shouldDescribeTheProgram()
    {
        MainWindowProbe probe;
        MprisService mpris(probe.window(), playerBus);
        const QVariantMap root = allProperties(rootInterface);
        QCOMPARE(root.value("Identity"), QVariant("Brisnak"));
        QCOMPARE(root.value("CanQuit"), QVariant(true));
        QCOMPARE(root.value("CanRaise"), QVariant(true));
        QCOMPARE(root.value("HasTrackList"), QVariant(false));
        QCOMPARE(root.value("SupportedUriSchemes").toStringList(), QStringList{"file"});

        // The desktop finds the entry the package installs.
        const QString entry = root.value("DesktopEntry").toString();
        QCOMPARE(entry, QString("brisnak"));
        QVERIFY(QFileInfo::exists(QStringLiteral(BRISNAK_RESOURCES_DIR "/") + entry + ".desktop"));

        // Each format the player reads, under the name the desktop's MIME database gives it.
        const QStringList types = root.value("SupportedMimeTypes").toStringList();
        const QMimeDatabase mime;
        for (const char* name : {"a.mp3", "a.wav", "a.ogg"}) {
            const QString type =
                mime.mimeTypeForFile(QLatin1String(name), QMimeDatabase::MatchExtension).name();
            QVERIFY2(types.contains(type), qPrintable(type));
        }
        QVERIFY(types.contains("audio/x-vorbis+ogg"));
    }

    void shouldDescribeAStoppedPlayer()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));
        MprisService mpris(probe.window(), playerBus);
        const QVariantMap player = allProperties(playerInterface);
        QCOMPARE(player.value("PlaybackStatus"), QVariant("Stopped"));
        QCOMPARE(player.value("Metadata").toMap(), QVariantMap());
        QCOMPARE(player.value("Position").metaType(), QMetaType::fromType<qlonglong>());
        QCOMPARE(player.value("Position").toLongLong(), 0);
        for (const char* name : {"Rate", "MinimumRate", "MaximumRate", "Volume"}) {
            QCOMPARE(player.value(name).metaType(), QMetaType::fromType<double>());
            QCOMPARE(player.value(name).toDouble(), 1.0);
        }
        for (const char* name :
             {"CanGoNext", "CanGoPrevious", "CanPlay", "CanPause", "CanSeek", "CanControl"})
            QVERIFY2(player.value(name) == QVariant(true), name);
    }

    void shouldRefuseToChangeWhatTheWindowCannot_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("value");
        QTest::newRow("Volume") << "Volume" << 0.5;
        QTest::newRow("Rate") << "Rate" << 2.0;
    }

    void shouldRefuseToChangeWhatTheWindowCannot()
    {
        QFETCH(QString, name);
        QFETCH(double, value);
        MainWindowProbe probe;
        MprisService mpris(probe.window(), playerBus);
        const QDBusMessage reply = call(
            QStringLiteral("Set"),
            {playerInterface, name, QVariant::fromValue(QDBusVariant(value))}, propertiesInterface);
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(property(name).toDouble(), 1.0);
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
        QVERIFY(!window.isActiveWindow());

        QCOMPARE(call(QStringLiteral("Raise"), {}, rootInterface).type(),
                 QDBusMessage::ReplyMessage);
        QTRY_VERIFY(window.isActiveWindow());
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());

        QCOMPARE(call(QStringLiteral("Quit"), {}, rootInterface).type(),
                 QDBusMessage::ReplyMessage);
        QTRY_VERIFY(!window.isVisible());
    }

    void shouldRefuseToOpenAUri()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));
        MprisService mpris(probe.window(), playerBus);
        const QDBusMessage reply =
            call(QStringLiteral("OpenUri"), {QUrl::fromLocalFile(paths[0]).toString()});
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(reply.errorName(), QString("org.freedesktop.DBus.Error.NotSupported"));
        QVERIFY(!reply.errorMessage().isEmpty());
        QCOMPARE(probe.list()->count(), paths.size());
        QCOMPARE(status(), QString("Stopped"));
    }

    // PlaybackStatus as the window's own buttons leave it.
    void shouldReadTheStatusOffTheWindow_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("pausedFlag");

        using L = QStringList;
        QTest::newRow("fresh") << L{} << "Stopped" << -1 << 0;
        QTest::newRow("playing") << L{"Play"} << "Playing" << 0 << 0;
        QTest::newRow("paused") << L{"Play", "Pause"} << "Paused" << 0 << 1;
        QTest::newRow("resumed") << L{"Play", "Pause", "Play"} << "Playing" << 0 << 0;
        QTest::newRow("stopped") << L{"Play", "Stop"} << "Stopped" << -1 << 0;
        QTest::newRow("stopped while paused") << L{"Play", "Pause", "Stop"} << "Stopped" << -1 << 1;
        QTest::newRow("row started while paused")
            << L{"Play", "Pause", "Next"} << "Playing" << 1 << 1;
        QTest::newRow("paused before any play") << L{"ClickRow1", "Pause"} << "Stopped" << -1 << 1;
        QTest::newRow("last row played to its end")
            << L{"DoubleClick2", "End"} << "Stopped" << -1 << 0;
        QTest::newRow("file that cannot be opened") << L{"Missing"} << "Stopped" << -1 << 0;
        QTest::newRow("playing with no row selected")
            << L{"Play", "Deselect"} << "Playing" << 0 << 0;
    }

    void shouldReadTheStatusOffTheWindow()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, expected);
        QFETCH(int, row);
        QFETCH(int, pausedFlag);

        MainWindowProbe probe;
        MprisService mpris(probe.window(), playerBus);
        QVERIFY(prepare(probe, steps));
        QCOMPARE(probe.paused(), pausedFlag);
        QCOMPARE(status(), expected);
        QByteArray why;
        QVERIFY2(describes(metadata(), row, why), why.constData());
    }

    // Each command from the bus, after the window's own buttons set the scene. `label` is
    // "playing" (the row's "Now playing: " text), "paused" or the literal text; `asButton` says
    // that the command leaves the window exactly as its button does.
    void shouldRunTheWindowsRoutines_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("newTrack");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("pausedFlag");
        QTest::addColumn<bool>("asButton");

        using L = QStringList;
        QTest::newRow("Play starts row 0") << L{} << "Play"
                                           << "Playing" << 0 << true << "playing" << 0 << true;
        QTest::newRow("Play while playing leaves the track alone")
            << L{"Play"} << "Play"
            << "Playing" << 0 << false << "playing" << 0 << false;
        QTest::newRow("Play after Pause resumes")
            << L{"Play", "Pause"} << "Play"
            << "Playing" << 0 << false << "playing" << 0 << true;
        QTest::newRow("Play after Pause and Stop starts a row")
            << L{"Play", "Pause", "Stop"} << "Play"
            << "Playing" << 0 << true << "playing" << 0 << false;
        QTest::newRow("Play on an empty list does nothing")
            << L{"Empty"} << "Play"
            << "Stopped" << -1 << false << "" << 0 << true;
        QTest::newRow("Pause pauses") << L{"Play"} << "Pause"
                                      << "Paused" << 0 << false << "paused" << 1 << true;
        QTest::newRow("Pause while paused leaves it paused")
            << L{"Play", "Pause"} << "Pause"
            << "Paused" << 0 << false << "paused" << 1 << false;
        QTest::newRow("Pause while stopped does nothing")
            << L{"Play", "Stop"} << "Pause"
            << "Stopped" << -1 << false << "" << 0 << false;
        QTest::newRow("Pause with no row selected does nothing")
            << L{"Play", "Deselect"} << "Pause"
            << "Playing" << 0 << false << "playing" << 0 << true;
        QTest::newRow("Pause pauses a row started while paused")
            << L{"Play", "Pause", "Next"} << "Pause"
            << "Paused" << 1 << false << "paused" << 1 << false;
        QTest::newRow("PlayPause starts") << L{} << "PlayPause"
                                          << "Playing" << 0 << true << "playing" << 0 << false;
        QTest::newRow("PlayPause pauses") << L{"Play"} << "PlayPause"
                                          << "Paused" << 0 << false << "paused" << 1 << false;
        QTest::newRow("PlayPause resumes") << L{"Play", "Pause"} << "PlayPause"
                                           << "Playing" << 0 << false << "playing" << 0 << false;
        QTest::newRow("Stop stops") << L{"Play"} << "Stop"
                                    << "Stopped" << -1 << false << "" << 0 << true;
        QTest::newRow("Stop while paused keeps the flag")
            << L{"Play", "Pause"} << "Stop"
            << "Stopped" << -1 << false << "" << 1 << true;
        QTest::newRow("Next starts the row below")
            << L{"Play"} << "Next"
            << "Playing" << 1 << true << "playing" << 0 << true;
        QTest::newRow("Next on the last row does nothing")
            << L{"DoubleClick2"} << "Next"
            << "Playing" << 2 << false << "playing" << 0 << true;
        QTest::newRow("Next while paused plays the next row")
            << L{"Play", "Pause"} << "Next"
            << "Playing" << 1 << true << "playing" << 1 << true;
        QTest::newRow("Next on an empty list does nothing")
            << L{"Empty"} << "Next"
            << "Stopped" << -1 << false << "" << 0 << true;
        QTest::newRow("Previous starts the row above")
            << L{"Play", "Next"} << "Previous"
            << "Playing" << 0 << true << "playing" << 0 << true;
        QTest::newRow("Previous on the first row does nothing")
            << L{"Play"} << "Previous"
            << "Playing" << 0 << false << "playing" << 0 << true;
    }

    void shouldRunTheWindowsRoutines()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, command);
        QFETCH(QString, expected);
        QFETCH(int, row);
        QFETCH(bool, newTrack);
        QFETCH(QString, label);
        QFETCH(int, pausedFlag);
        QFETCH(bool, asButton);

        MainWindowProbe probe;
        MprisService mpris(probe.window(), playerBus);
        QVERIFY(prepare(probe, steps));
        const QString before = trackId();
        QVERIFY(succeeds(command));

        QCOMPARE(status(), expected);
        const QVariantMap after = metadata();
        QByteArray why;
        QVERIFY2(describes(after, row, why), why.constData());
        if (row >= 0) {
            if (newTrack)
                QVERIFY(trackIdIn(after) != before);
            else
                QCOMPARE(trackIdIn(after), before);
        }
        if (label == QLatin1String("playing"))
            label = MainWindowProbe::nowPlaying(paths[row]);
        else if (label == QLatin1String("paused"))
            label = QStringLiteral("Music is paused!");
        QCOMPARE(probe.status(), label);
        QCOMPARE(probe.paused(), pausedFlag);

        if (!asButton)
            return;
        // The same scene in another window, with the button pressed instead.
        MainWindowProbe twin;
        QVERIFY(prepare(twin, steps));
        twin.command(command.toLatin1().constData(), false);
        QCOMPARE(twin.status(), probe.status());
        QCOMPARE(twin.paused(), probe.paused());
        QCOMPARE(twin.list()->currentRow(), probe.list()->currentRow());
        QCOMPARE(twin.selectedRows(), probe.selectedRows());
        QCOMPARE(twin.seekBar()->maximum(), probe.seekBar()->maximum());
        QCOMPARE(twin.player().IsChannelLive(), probe.player().IsChannelLive());
        QCOMPARE(twin.player().IsChannelPaused(), probe.player().IsChannelPaused());
    }

    // Seeks while paused, where the position holds still and can be compared exactly.
    void shouldSeekThroughTheSlider()
    {
        OnTheBus scene;
        QVERIFY(putOnTheBus(scene));
        MainWindowProbe& probe = scene.probe;
        QSignalSpy seeked(&scene.relay, &BusSignals::seeked);

        QVERIFY(succeeds("Play"));
        QVERIFY(succeeds("Pause"));
        QVERIFY(probe.holdsStill());
        const qlonglong start = position();
        const QString id = trackId();
        const qlonglong length = qlonglong(ToneFiles::lengthMs(seconds[0])) * 1000;

        // Forward and back by an offset, and back past the start.
        const auto seekBy = [&](qlonglong offset) { return succeeds("Seek", {offset}); };
        QVERIFY(seekBy(10'000'000));
        const qlonglong forward = (start + 10'000'000) / 1000 * 1000;
        QTRY_COMPARE(seeked.size(), 1);
        QCOMPARE(seeked.last().value(0).toLongLong(), forward);
        QCOMPARE(position(), forward);
        QCOMPARE(qlonglong(probe.seekBar()->value()) * 1000, forward);
        QVERIFY(seekBy(-4'000'000));
        QTRY_COMPARE(seeked.size(), 2);
        QCOMPARE(seeked.last().value(0).toLongLong(), forward - 4'000'000);
        QVERIFY(seekBy(-1'000'000'000));
        QTRY_COMPARE(seeked.size(), 3);
        QCOMPARE(seeked.last().value(0).toLongLong(), 0);

        // To a position in the current track.
        const auto setPosition = [&](const QString& track, qlonglong at) {
            return succeeds("SetPosition", {QVariant::fromValue(QDBusObjectPath(track)), at});
        };
        QVERIFY(setPosition(id, 20'000'000));
        QTRY_COMPARE(seeked.size(), 4);
        QCOMPARE(seeked.last().value(0).toLongLong(), 20'000'000);
        QCOMPARE(position(), 20'000'000);

        // Ignored: another track's id, a position before the start or after the end.
        QVERIFY(setPosition(QStringLiteral("/org/brisnak/track/999"), 5'000'000));
        QVERIFY(setPosition(id, -1));
        QVERIFY(setPosition(id, length + 1));
        QCOMPARE(position(), 20'000'000);

        // Letting go of the slider's handle in the window is a seek too.
        probe.dragSliderTo(15'000);
        QTRY_COMPARE(seeked.size(), 5);
        QCOMPARE(seeked.last().value(0).toLongLong(), 15'000'000);

        // The window's seek does nothing while no row is selected: it puts the slider back to 0.
        act(probe, QStringLiteral("Deselect"));
        if (QTest::currentTestFailed())
            return;
        QVERIFY(seekBy(1'000'000));
        QCOMPARE(probe.seekBar()->value(), 0);
        QCOMPARE(position(), 15'000'000);

        // Nothing to seek in while stopped.
        probe.clickRow(0);
        QVERIFY(succeeds("Stop"));
        QVERIFY(seekBy(1'000'000));
        QVERIFY(setPosition(id, 1'000'000));
        QCOMPARE(status(), QString("Stopped"));

        // Only the five seeks above were announced: the next one comes sixth.
        QVERIFY(succeeds("Play"));
        QVERIFY(succeeds("Pause"));
        QVERIFY(probe.holdsStill());
        QVERIFY(setPosition(trackId(), 3'000'000));
        QTRY_COMPARE(seeked.size(), 6);
        QCOMPARE(seeked.last().value(0).toLongLong(), 3'000'000);

        // Playback resumes from where the seek left it.
        QVERIFY(succeeds("Play"));
        QVERIFY(probe.passes(3'100));
    }

    void shouldEndTheTrackWhenSeekingPastItsEnd()
    {
        OnTheBus scene;
        QVERIFY(putOnTheBus(scene));
        QSignalSpy seeked(&scene.relay, &BusSignals::seeked);

        QVERIFY(succeeds("Play"));
        QVERIFY(succeeds("Seek", {std::numeric_limits<qlonglong>::max()}));
        QTRY_COMPARE(seeked.size(), 1);
        const qlonglong length = qlonglong(ToneFiles::lengthMs(seconds[0])) * 1000;
        // Until the engine has played out, a channel reports at most a millisecond short.
        QVERIFY(seeked.last().value(0).toLongLong() >= length - 1000);
        QVERIFY(seeked.last().value(0).toLongLong() <= length);

        // The tick then moves on as at the end of any track.
        QByteArray why;
        QTRY_VERIFY2(describes(metadata(), 1, why), why.constData());
        QCOMPARE(status(), QString("Playing"));
    }

    void shouldAnnounceStatusAndTrackChanges()
    {
        OnTheBus scene;
        QVERIFY(putOnTheBus(scene));
        MainWindowProbe& probe = scene.probe;
        QSignalSpy changes(&scene.relay, &BusSignals::propertiesChanged);
        QByteArray why;

        // The properties the nth announcement carries.
        const auto change = [&](qsizetype n) { return unwrapMap(changes.at(n).value(1).toMap()); };

        QVERIFY(succeeds("Play"));
        QTRY_COMPARE(changes.size(), 1);
        QVariantMap changed = change(0);
        QCOMPARE(changed.value("PlaybackStatus"), QVariant("Playing"));
        QVERIFY2(describes(changed.value("Metadata").toMap(), 0, why), why.constData());

        // The window's own buttons are announced too; an unchanged track is not.
        probe.click("pauseButton");
        QTRY_COMPARE(changes.size(), 2);
        changed = change(1);
        QCOMPARE(changed, (QVariantMap{{"PlaybackStatus", "Paused"}}));

        probe.click("nextButton");
        QTRY_COMPARE(changes.size(), 3);
        changed = change(2);
        QCOMPARE(changed.value("PlaybackStatus"), QVariant("Playing"));
        QVERIFY2(describes(changed.value("Metadata").toMap(), 1, why), why.constData());

        QVERIFY(succeeds("Pause"));
        QTRY_COMPARE(changes.size(), 4);
        QCOMPARE(change(3), (QVariantMap{{"PlaybackStatus", "Paused"}}));
        QVERIFY(succeeds("Play"));
        QTRY_COMPARE(changes.size(), 5);
        QCOMPARE(change(4), (QVariantMap{{"PlaybackStatus", "Playing"}}));

        // The tick's automatic advance: a new track, and the status stays "Playing".
        QVERIFY(probe.playToTheEnd());
        QTRY_COMPARE(changes.size(), 6);
        changed = change(5);
        QVERIFY(!changed.contains("PlaybackStatus"));
        QVERIFY2(describes(changed.value("Metadata").toMap(), 2, why), why.constData());

        // The last row ends while the row above is current: Next refuses and the player stops.
        QVERIFY(probe.playToTheEnd());
        QTRY_COMPARE(changes.size(), 7);
        changed = change(6);
        QCOMPARE(changed.value("PlaybackStatus"), QVariant("Stopped"));
        QCOMPARE(changed.value("Metadata").toMap(), QVariantMap());

        // Stop changes nothing now, and says nothing: the next announcement is Play's.
        QVERIFY(succeeds("Stop"));
        QVERIFY(succeeds("Play"));
        QTRY_COMPARE(changes.size(), 8);
        changed = change(7);
        QCOMPARE(changed.value("PlaybackStatus"), QVariant("Playing"));
        QVERIFY2(describes(changed.value("Metadata").toMap(), 2, why), why.constData());

        // All of them for the Player interface, with nothing merely invalidated.
        for (const QList<QVariant>& arguments : std::as_const(changes)) {
            QCOMPARE(arguments.value(0).toString(), playerInterface);
            QCOMPARE(arguments.value(2).toStringList(), QStringList());
        }
    }

    // What the file's tags say, read off the window's thread once the track plays; the length
    // stays the engine's and the window's own texts stay as they were.
    void shouldDescribeATrackByItsTags_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<bool>("withPicture");

        QTest::newRow("MP3, ID3v2") << Format::Mp3 << true;
        QTest::newRow("Ogg Vorbis comments") << Format::OggVorbis << true;
        QTest::newRow("FLAC comments") << Format::Flac << true;
        QTest::newRow("WAV, RIFF INFO") << Format::Wav << false;
    }

    void shouldDescribeATrackByItsTags()
    {
        QFETCH(Format, format);
        QFETCH(bool, withPicture);

        const TaggedFiles::Tags tags{QStringLiteral("Harbour Lights"),
                                     {QStringLiteral("The Quiet Ones")},
                                     QStringLiteral("Night Crossing"),
                                     3};
        const QByteArray cover = TaggedFiles::picture(48, 48, "PNG", Qt::darkCyan);
        QList<TaggedFiles::Picture> covers;
        if (withPicture)
            covers << TaggedFiles::Picture{cover, true};
        const QString path =
            tagged.write(QStringLiteral("described") + AudioFixtures::suffix(format), format, tags,
                         covers, 20.0);
        QVERIFY(!path.isEmpty());

        MainWindowProbe probe;
        QVERIFY(probe.show({path}));
        MprisService mpris(probe.window(), playerBus);
        BusSignals relay;
        QVERIFY(relay.listen(client, service));
        QSignalSpy changes(&relay, &BusSignals::propertiesChanged);

        QVERIFY(succeeds("Play"));
        QTRY_COMPARE(metadata().value("xesam:title"), QVariant(tags.title));
        const QVariantMap described = metadata();
        QCOMPARE(described.value("xesam:artist").toStringList(), tags.artists);
        QCOMPARE(described.value("xesam:album"), QVariant(tags.album));
        QCOMPARE(described.value("xesam:trackNumber"), QVariant(tags.trackNumber));
        QCOMPARE(described.value("mpris:length"),
                 QVariant(qlonglong(probe.player().GetLength()) * 1000));
        QCOMPARE(described.value("xesam:url"), QVariant(QUrl::fromLocalFile(path).toString()));
        if (withPicture) {
            QVERIFY(pictureIn(described).startsWith(pictures + '/'));
            QCOMPARE(contents(pictureIn(described)), cover);
        } else {
            QVERIFY(!described.contains("mpris:artUrl"));
        }
        QCOMPARE(probe.status(), MainWindowProbe::nowPlaying(path));

        // Announced twice: the track at once under its file name, then what its tags say.
        QTRY_COMPARE(changes.size(), 2);
        const QVariantMap first = unwrapMap(changes.at(0).value(1).toMap());
        QCOMPARE(first.value("PlaybackStatus"), QVariant("Playing"));
        QCOMPARE(first.value("Metadata").toMap().value("xesam:title"),
                 QVariant(QFileInfo(path).fileName()));
        const QVariantMap second = unwrapMap(changes.at(1).value(1).toMap());
        QCOMPARE(second, (QVariantMap{{"Metadata", described}}));
    }

    // The cover picture is written once per track and goes with it.
    void shouldKeepTheCoverPictureWhileItsTrackIsAnnounced()
    {
        QStringList rows;
        QList<QByteArray> covers;
        for (const QColor& colour : {QColor(Qt::red), QColor(Qt::blue)}) {
            covers << TaggedFiles::picture(32, 32, "PNG", colour);
            rows << tagged.write(QStringLiteral("cover%1.ogg").arg(rows.size()), Format::OggVorbis,
                                 {QStringLiteral("Cover %1").arg(rows.size()), {}, {}, 0},
                                 {{covers.last(), true}}, 20.0);
        }
        QVERIFY(!rows.contains(QString()));
        QCOMPARE(picturesWritten(), QStringList());

        MainWindowProbe probe;
        QVERIFY(probe.show(rows));
        {
            MprisService mpris(probe.window(), playerBus);
            QVERIFY(succeeds("Play"));
            QTRY_VERIFY(!pictureIn(metadata()).isEmpty());
            const QString first = pictureIn(metadata());
            QCOMPARE(contents(first), covers[0]);
            QCOMPARE(picturesWritten(), QStringList{QFileInfo(first).fileName()});
            const QDateTime written = QFileInfo(first).lastModified();

            // Pause, resume and the ticks between them neither write it again nor move it.
            QVERIFY(succeeds("Pause"));
            QVERIFY(succeeds("Play"));
            QSignalSpy ticks(probe.timer(), &QTimer::timeout);
            QTRY_COMPARE(ticks.size(), 2);
            QCOMPARE(pictureIn(metadata()), first);
            QCOMPARE(QFileInfo(first).lastModified(), written);

            // The next track: the first picture goes at once, the second comes with its tags.
            QVERIFY(succeeds("Next"));
            QVERIFY(!QFileInfo::exists(first));
            QTRY_VERIFY(!pictureIn(metadata()).isEmpty());
            const QString second = pictureIn(metadata());
            QCOMPARE(contents(second), covers[1]);
            QCOMPARE(picturesWritten(), QStringList{QFileInfo(second).fileName()});

            // Stopped: no track, no picture.
            QVERIFY(succeeds("Stop"));
            QCOMPARE(picturesWritten(), QStringList());

            // Playing again is a new track with its own picture, which goes with the player.
            QVERIFY(succeeds("Play"));
            QTRY_VERIFY(!pictureIn(metadata()).isEmpty());
            QVERIFY(pictureIn(metadata()) != second);
            QCOMPARE(picturesWritten().size(), 1);
        }
        QCOMPARE(picturesWritten(), QStringList());
    }

    // A file the engine refuses is not read for tags, however well tagged.
    void shouldReadNoTagsOfAFileTheEngineRefused()
    {
        const QByteArray cover = TaggedFiles::picture(32, 32, "PNG", Qt::yellow);
        const QString path =
            tagged.write(QStringLiteral("silenced.mp3"), Format::Mp3,
                         {QStringLiteral("Never Heard"), {}, {}, 0}, {{cover, true}}, 2.0);
        QVERIFY(!path.isEmpty());
        // Every byte after the ID3v2 tag (10 bytes of header, then a syncsafe size) made zero:
        // no MPEG frame is left, but the tag is intact.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray head = file.read(10);
        QVERIFY(head.startsWith("ID3"));
        const qint64 tagEnd =
            10 + ((qint64(head[6] & 0x7f) << 21) | (qint64(head[7] & 0x7f) << 14) |
                  (qint64(head[8] & 0x7f) << 7) | qint64(head[9] & 0x7f));
        QVERIFY(file.seek(tagEnd));
        file.write(QByteArray(file.size() - tagEnd, '\0'));
        file.close();
        QCOMPARE(TagReader::readFile(QFile::encodeName(path).toStdString(), QString()).title,
                 QString("Never Heard"));

        MainWindowProbe probe;
        QVERIFY(probe.show({path}));
        MprisService mpris(probe.window(), playerBus);
        QVERIFY(succeeds("Play"));
        QCOMPARE(probe.status(), QStringLiteral("Cannot play: ") + path);
        QCOMPARE(status(), QString("Stopped"));
        QCOMPARE(metadata(), QVariantMap());
        // A read would have written the picture within milliseconds; two ticks pass first.
        QSignalSpy ticks(probe.timer(), &QTimer::timeout);
        QTRY_COMPARE(ticks.size(), 2);
        QCOMPARE(picturesWritten(), QStringList());
        QCOMPARE(metadata(), QVariantMap());
    }

    void shouldTakeAnInstanceNameWhenTheNameIsTaken()
    {
        MainWindowProbe first;
        MainWindowProbe second;
        QVERIFY(first.show(paths));
        QVERIFY(second.show(paths));
        MprisService one(first.window(), playerBus);
        MprisService two(second.window(), bus.connect(QStringLiteral("second player")));
        const QString instance =
            service + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
        QCOMPARE(one.serviceName(), service);
        QCOMPARE(two.serviceName(), instance);
        QVERIFY(client.interface()->isServiceRegistered(instance));

        // Each name reaches its own window.
        QCOMPARE(call("Play", {}, playerInterface, instance).type(), QDBusMessage::ReplyMessage);
        QVERIFY(second.player().IsChannelLive());
        QVERIFY(!first.player().IsChannelLive());
        QCOMPARE(property("PlaybackStatus", playerInterface, instance), QVariant("Playing"));
        QCOMPARE(property("PlaybackStatus", playerInterface, service), QVariant("Stopped"));
    }

    void shouldPlayAsBeforeWithoutABus()
    {
        const QDBusConnection none = QDBusConnection::connectToBus(
            QStringLiteral("unix:path=") + QDir(tones.path()).filePath("no-bus-here"),
            QStringLiteral("no bus"));
        QVERIFY(!none.isConnected());
        // Not a word about it.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("(?i)d-?bus|mpris")));

        MainWindowProbe probe;
        MprisService mpris(probe.window(), none);
        QVERIFY(mpris.serviceName().isEmpty());
        QVERIFY(probe.show(paths));
        probe.click("playButton");
        QVERIFY2(probe.shows(-1, 0, ToneFiles::lengthMs(seconds[0]),
                             MainWindowProbe::nowPlaying(paths[0])),
                 probe.mismatch());
        QVERIFY(probe.advances());
        probe.click("nextButton");
        QVERIFY2(probe.shows(0, 1, ToneFiles::lengthMs(seconds[1]),
                             MainWindowProbe::nowPlaying(paths[1])),
                 probe.mismatch());
        probe.click("pauseButton");
        QCOMPARE(probe.status(), QString("Music is paused!"));
        QVERIFY(probe.holdsStill());
        QDBusConnection::disconnectFromBus(QStringLiteral("no bus"));
    }
};

QTEST_MAIN(MprisTest)
#include "MprisTest.moc"
