// The real brisnak program on Wayland: Debian's weston with its headless backend as the
// compositor, the program started with QT_QPA_PLATFORM=wayland (no X display to fall back on),
// its window mapped under the desktop file name "brisnak" (what a Wayland shell matches to
// brisnak.desktop), and Quit over the bus ending it cleanly. The program runs as a copy under
// another file name, so the application id it gives the compositor can only come from the desktop
// file name it sets.
#include "PrivateSessionBus.h"
#include "ProcessEnd.h"
#include "RealPlayer.h"
#include "ToneFiles.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class WaylandTest : public QObject
{
    Q_OBJECT

    // XDG_RUNTIME_DIR of the compositor and the program, made private to this test.
    QTemporaryDir runtime;
    const QString socket =
        QStringLiteral("brisnak-test-%1").arg(QCoreApplication::applicationPid());
    QProcess weston;
    PrivateSessionBus bus;
    ToneFiles tones;
    QString playlist;
    QString program;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORMTHEME"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("XDG_CACHE_HOME"), QDir(runtime.path()).filePath("cache"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        return env;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("weston")).isEmpty(),
                 "weston is missing (Debian package weston)");
        QVERIFY(runtime.isValid());
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner |
                                                          QFileDevice::WriteOwner |
                                                          QFileDevice::ExeOwner));
        QVERIFY2(bus.isRunning(), qPrintable(bus.error()));

        // kiosk-shell maps every toplevel at once and starts no helper clients of its own.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        weston.setProcessEnvironment(env);
        weston.setProcessChannelMode(QProcess::MergedChannels);
        weston.start(QStringLiteral("weston"),
                     {QStringLiteral("--backend=headless-backend.so"),
                      QStringLiteral("--shell=kiosk-shell.so"), QStringLiteral("--no-config"),
                      QStringLiteral("--idle-time=0"), QStringLiteral("--socket=") + socket});
        QVERIFY2(weston.waitForStarted(10000), qPrintable(weston.errorString()));
        const QString socketPath = QDir(runtime.path()).filePath(socket);
        QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(socketPath) ||
                                      weston.state() == QProcess::NotRunning,
                                  "weston made no socket", 10000);
        QVERIFY2(weston.state() == QProcess::Running, weston.readAll().constData());

        QVERIFY(tones.isValid());
        const QString track = tones.wav(QStringLiteral("heard.wav"), 30.0);
        QVERIFY(!track.isEmpty());
        playlist = QDir(tones.path()).filePath(QStringLiteral("playlist.txt"));
        QFile list(playlist);
        QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Text));
        list.write(track.toUtf8() + '\n');
        list.close();
        // The program under another file name: see the note at the top.
        program = QDir(runtime.path()).filePath(QStringLiteral("player-under-test"));
        QVERIFY(QFile::copy(QStringLiteral(BRISNAK_PROGRAM), program));
    }

    void cleanupTestCase() { ProcessEnd::end(weston, 10000); }

    void shouldMapItsWindowOnWayland()
    {
        RealPlayer player(program, QStringLiteral(BRISNAK_TEST_PLUGINS));
        QProcessEnvironment env = environment();
        // The client's side of the Wayland protocol, one request or event a line, on stderr.
        env.insert(QStringLiteral("WAYLAND_DEBUG"), QStringLiteral("client"));
        QVERIFY2(player.start(env, playlist, 1), qPrintable(player.failure()));
        QProcess& process = player.process();

        // Mapped: a toplevel with an application id, whose first configure was acknowledged and
        // whose surface then got a buffer. The id is the desktop file name, "brisnak".
        QByteArray protocol;
        const QRegularExpression mapped(
            QStringLiteral("xdg_toplevel@\\d+\\.set_app_id\\(\"[^\"]*\"\\)[\\s\\S]*"
                           "xdg_surface@\\d+\\.ack_configure\\(\\d+\\)[\\s\\S]*"
                           "wl_surface@\\d+\\.attach\\(wl_buffer@\\d+"));
        const auto isMapped = [&] {
            protocol += process.readAllStandardError();
            return mapped.match(QString::fromLatin1(protocol)).hasMatch();
        };
        QVERIFY2(QTest::qWaitFor([&] { return isMapped() || process.state() != QProcess::Running; },
                                 10000) &&
                     isMapped(),
                 protocol.right(4000).constData());
        QCOMPARE(process.state(), QProcess::Running);
        const QRegularExpression appId(QStringLiteral("set_app_id\\(\"([^\"]*)\"\\)"));
        QCOMPARE(appId.match(QString::fromLatin1(protocol)).captured(1), QString("brisnak"));

        // Quit over the bus, once the program is there (it joins after its first frame), ends it
        // as closing its window does.
        QDBusConnection desktop = bus.connect(QStringLiteral("quit"));
        QTRY_VERIFY(desktop.interface()->isServiceRegistered(
            QStringLiteral("org.mpris.MediaPlayer2.brisnak")));
        const QDBusMessage quit = QDBusMessage::createMethodCall(
            QStringLiteral("org.mpris.MediaPlayer2.brisnak"),
            QStringLiteral("/org/mpris/MediaPlayer2"), QStringLiteral("org.mpris.MediaPlayer2"),
            QStringLiteral("Quit"));
        QCOMPARE(desktop.call(quit).type(), QDBusMessage::ReplyMessage);
        QVERIFY(process.waitForFinished(10000));
        protocol += process.readAllStandardError();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(process.exitCode() == 0, protocol.right(6000).constData());
        // Besides the protocol lines ("[time] ..."), nothing went wrong on the way.
        QStringList said;
        for (const QByteArray& line : protocol.split('\n'))
            if (!line.isEmpty() && !line.startsWith('['))
                said << QString::fromLocal8Bit(line);
        QVERIFY2(
            said.filter(QRegularExpression(QStringLiteral("(?i)error|fail|could not"))).isEmpty(),
            qPrintable(said.join('\n')));
        QVERIFY(weston.state() == QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(WaylandTest)
#include "WaylandTest.moc"
