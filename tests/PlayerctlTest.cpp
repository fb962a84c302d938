// The real brisnak program on a private session bus, driven from outside by Debian's playerctl as
// a desktop user would: list, status, play, play-pause, position, next, stop and metadata; Quit;
// a signal ending it as closing its window does; and the program without any bus. The
// playlist is filled through the program's own Add files command, whose file dialog a Qt plugin
// answers inside the program (support/ProgramDriver.h, its command "fill").
#include "PrivateSessionBus.h"
#include "RealPlayer.h"
#include "TaggedFiles.h"
#include "ToneFiles.h"

#include <QDBusMessage>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

class PlayerctlTest : public QObject
{
    Q_OBJECT

    PrivateSessionBus bus;
    QTemporaryDir runtime;
    const QList<double> seconds{30.0, 31.0, 32.0};
    ToneFiles tones;
    QStringList paths;
    QString playlist;
    std::vector<std::unique_ptr<RealPlayer>> programs;

    // The environment of a program started here: the session bus at `address` (none at all when
    // it is empty: no address, no X display to start one for) and the offscreen platform.
    QProcessEnvironment environment(const QString& address) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (address.isEmpty()) {
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
            env.remove(QStringLiteral("DISPLAY"));
        } else {
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        }
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("XDG_CACHE_HOME"), QDir(runtime.path()).filePath("cache"));
        env.remove(QStringLiteral("QT_QPA_PLATFORMTHEME"));
        return env;
    }

    // Starts brisnak with the plugin that answers its Add files dialog with the test's tracks, and
    // waits until the plugin reports the playlist filled; null on failure.
    QProcess* start(const QString& address, const QString& list = QString(), qsizetype rows = 0)
    {
        auto player = std::make_unique<RealPlayer>(QStringLiteral(BRISNAK_PROGRAM),
                                                   QStringLiteral(BRISNAK_TEST_PLUGINS));
        if (!player->start(environment(address), list.isEmpty() ? playlist : list,
                           list.isEmpty() ? paths.size() : rows)) {
            qWarning("%s", qPrintable(player->failure()));
            return nullptr;
        }
        programs.push_back(std::move(player));
        return &programs.back()->process();
    }

    QString playerctl(const QStringList& arguments)
    {
        return RealPlayer::playerctl(environment(bus.address()), arguments);
    }

    QString brisnak(const QStringList& arguments)
    {
        return playerctl(QStringList{QStringLiteral("--player=brisnak")} + arguments);
    }

    QString metadata(const char* key)
    {
        return brisnak({QStringLiteral("metadata"), QLatin1String(key)});
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("playerctl")).isEmpty(),
                 "playerctl is missing (Debian package playerctl)");
        QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
        QVERIFY(runtime.isValid());
        QVERIFY(tones.isValid());
        paths = tones.wavs(QStringLiteral("track"), seconds);
        QCOMPARE(paths.size(), seconds.size());
        playlist = QDir(tones.path()).filePath(QStringLiteral("playlist.txt"));
        QFile list(playlist);
        QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Text));
        list.write(paths.join(QLatin1Char('\n')).toUtf8() + '\n');
    }

    void cleanup()
    {
        // Each program ends with its RealPlayer.
        programs.clear();
    }

    // The commands a desktop user gives through playerctl, as the bus maps them (MprisTest holds
    // the rules): play, play-pause, position (SetPosition with the track's id) and next, the
    // metadata playerctl prints, stop, and Quit ending the program as closing its window does.
    void shouldBeDrivenByPlayerctl()
    {
        QProcess* program = start(bus.address());
        QVERIFY(program);
        // The program joins the bus after its first frame.
        QTRY_COMPARE(playerctl({QStringLiteral("--list-all")}), QString("brisnak"));
        QCOMPARE(brisnak({"status"}), QString("Stopped"));

        QCOMPARE(brisnak({"play"}), QString());
        QTRY_COMPARE(brisnak({"status"}), QString("Playing"));
        QCOMPARE(metadata("xesam:title"), QString("track0.wav"));
        QCOMPARE(metadata("mpris:length"),
                 QString::number(qlonglong(ToneFiles::lengthMs(seconds[0])) * 1000));

        QCOMPARE(brisnak({"play-pause"}), QString());
        QTRY_COMPARE(brisnak({"status"}), QString("Paused"));
        // Read while paused, where the position holds still.
        QCOMPARE(brisnak({"position", "12"}), QString());
        QTRY_COMPARE(brisnak({"position"}), QString("12.000000"));

        QCOMPARE(brisnak({"next"}), QString());
        QTRY_COMPARE(metadata("xesam:title"), QString("track1.wav"));

        // Stopped: no track any more, which is how playerctl reports empty metadata.
        QCOMPARE(brisnak({"stop"}), QString());
        QTRY_COMPARE(brisnak({"status"}), QString("Stopped"));
        QCOMPARE(brisnak({"metadata"}), QString("exit 1: No player could handle this command"));

        const QDBusMessage quit = QDBusMessage::createMethodCall(
            QStringLiteral("org.mpris.MediaPlayer2.brisnak"),
            QStringLiteral("/org/mpris/MediaPlayer2"), QStringLiteral("org.mpris.MediaPlayer2"),
            QStringLiteral("Quit"));
        QCOMPARE(bus.connect(QStringLiteral("quit")).call(quit).type(), QDBusMessage::ReplyMessage);
        QVERIFY(program->waitForFinished(10000));
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        QTRY_COMPARE(playerctl({QStringLiteral("--list-all")}), QString());
    }

    // SIGTERM (a desktop session ending), SIGINT (Ctrl+C) and SIGHUP (a closed terminal) end the
    // program as closing its window does: exit status 0, the cover picture of the playing track
    // removed.
    void shouldEndAsClosingTheWindowDoesOnASignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void shouldEndAsClosingTheWindowDoesOnASignal()
    {
        QFETCH(int, signal);
        TaggedFiles tagged;
        const QString track =
            tagged.write(QStringLiteral("covered.mp3"), AudioFixtures::Format::Mp3,
                         {QStringLiteral("Covered"), {}, {}, 0, {}},
                         {{TaggedFiles::picture(40, 30, "PNG", Qt::red), true}}, 30.0);
        const QString list = QDir(tagged.path()).filePath(QStringLiteral("list.txt"));
        QFile file(list);
        QVERIFY(!track.isEmpty() && file.open(QIODevice::WriteOnly) &&
                file.write(track.toUtf8() + '\n') > 0);
        file.close();
        QProcess* program = start(bus.address(), list, 1);
        QVERIFY(program);
        QTRY_COMPARE(playerctl({QStringLiteral("--list-all")}), QString("brisnak"));
        QCOMPARE(brisnak({"play"}), QString());
        const auto covers = [&] {
            QStringList found;
            QDirIterator it(QDir(runtime.path()).filePath("cache"), {QStringLiteral("cover-*")},
                            QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                found << it.next();
            return found;
        };
        QTRY_COMPARE(covers().size(), 1);

        QCOMPARE(::kill(static_cast<pid_t>(program->processId()), signal), 0);
        QVERIFY(program->waitForFinished(10000));
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        QCOMPARE(covers(), QStringList());
    }

    void shouldRunWithoutASessionBus_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("an address where no bus listens")
            << QStringLiteral("unix:path=") + QDir(runtime.path()).filePath("no-bus-here");
        QTest::newRow("no address") << QString();
    }

    void shouldRunWithoutASessionBus()
    {
        QFETCH(QString, address);
        QProcess* program = start(address);
        QVERIFY2(program, "brisnak did not come up and fill its playlist without a bus");
        QCOMPARE(program->state(), QProcess::Running);
        // Whatever Qt says about the offscreen platform, nothing about a bus.
        const QString errors = QString::fromLocal8Bit(program->readAllStandardError());
        QVERIFY2(!errors.contains(QLatin1String("bus"), Qt::CaseInsensitive), qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(PlayerctlTest)
#include "PlayerctlTest.moc"
