// The real brisnak program as a screen reader meets it: under Xvfb, with the accessibility bus that
// Debian's at-spi2-core starts on a private session bus, its tree read through libatspi as Orca
// reads it. Every control has its name and role, the seek slider tells the position in seconds,
// and a row started by the Play button or by the automatic advance pulls no focus event to the
// playlist while the keyboard is elsewhere.
#include "PrivateSessionBus.h"
#include "ProcessEnd.h"
#include "RealPlayer.h"
#include "ToneFiles.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atspi/atspi.h>

#include <memory>

namespace
{

QString roleOf(AtspiAccessible* object)
{
    gchar* role = atspi_accessible_get_role_name(object, nullptr);
    const QString name = QString::fromUtf8(role ? role : "");
    g_free(role);
    return name;
}

QString nameOf(AtspiAccessible* object)
{
    gchar* name = atspi_accessible_get_name(object, nullptr);
    const QString text = QString::fromUtf8(name ? name : "");
    g_free(name);
    return text;
}

// The first object under `object` (itself included) of `role` whose name starts with `name`;
// null when there is none. The caller unrefs it.
AtspiAccessible* find(AtspiAccessible* object, const QString& role, const QString& name)
{
    if (roleOf(object) == role && nameOf(object).startsWith(name))
        return static_cast<AtspiAccessible*>(g_object_ref(object));
    const int children = atspi_accessible_get_child_count(object, nullptr);
    for (int i = 0; i < children; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, nullptr);
        AtspiAccessible* found = child ? find(child, role, name) : nullptr;
        if (child)
            g_object_unref(child);
        if (found)
            return found;
    }
    return nullptr;
}

// Focus events, with the role of what took focus.
QStringList focused;

void noteFocus(AtspiEvent* event, void*)
{
    if (event->detail1 == 1 || QByteArray(event->type).startsWith("focus:"))
        focused << roleOf(event->source);
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

} // namespace

class AccessibilityTest : public QObject
{
    Q_OBJECT

    QTemporaryDir runtime;
    QProcess display;
    std::unique_ptr<PrivateSessionBus> bus;
    QProcess launcher;
    ToneFiles tones;
    std::unique_ptr<RealPlayer> program;
    AtspiAccessible* application = nullptr;

    AtspiAccessible* control(const QString& role, const QString& name)
    {
        return application ? find(application, role, name) : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(runtime.isValid() && tones.isValid());
        // Xvfb picks a free display and says which.
        display.start(QStringLiteral("Xvfb"),
                      {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        QVERIFY2(display.waitForStarted(), "Xvfb is missing (Debian package xvfb)");
        QVERIFY(display.waitForReadyRead(30000));
        const QByteArray number = display.readAllStandardOutput().trimmed();
        QVERIFY(!number.isEmpty());
        qputenv("DISPLAY", ":" + number);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        bus = std::make_unique<PrivateSessionBus>();
        QVERIFY2(bus->isRunning(), qPrintable(bus->error()));
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus->address().toUtf8());

        // The accessibility bus, as a desktop session starts it.
        launcher.start(QStringLiteral("/usr/libexec/at-spi-bus-launcher"),
                       {QStringLiteral("--launch-immediately")});
        QVERIFY2(launcher.waitForStarted(), "at-spi-bus-launcher is missing (at-spi2-core)");
        QDBusConnection client = bus->connect(QStringLiteral("accessibility"));
        QTRY_VERIFY_WITH_TIMEOUT(
            client.interface()->isServiceRegistered(QStringLiteral("org.a11y.Bus")), 30000);

        const QStringList paths = tones.wavs(QStringLiteral("row"), {1.0, 1.0, 1.0});
        QCOMPARE(paths.size(), 3);
        const QString playlist = QDir(tones.path()).filePath(QStringLiteral("playlist.txt"));
        QFile list(playlist);
        QVERIFY(list.open(QIODevice::WriteOnly) && list.write(paths.join('\n').toUtf8()) > 0);
        list.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // As when a screen reader runs: Qt answers on the accessibility bus from the start.
        environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"),
                           runtime.filePath(QStringLiteral("cache")));
        program = std::make_unique<RealPlayer>(QStringLiteral(BRISNAK_PROGRAM),
                                               QStringLiteral(BRISNAK_TEST_PLUGINS));
        QVERIFY2(program->start(environment, playlist, paths.size()),
                 qPrintable(program->failure()));

        QCOMPARE(atspi_init(), 0);
        AtspiAccessible* desktop = atspi_get_desktop(0);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const int apps = atspi_accessible_get_child_count(desktop, nullptr);
                for (int i = 0; i < apps && !application; ++i) {
                    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
                    if (app && nameOf(app) == QLatin1String("brisnak"))
                        application = app;
                    else if (app)
                        g_object_unref(app);
                }
                return application && atspi_accessible_get_child_count(application, nullptr) > 0;
            }(),
            20000);
        g_object_unref(desktop);
    }

    void cleanupTestCase()
    {
        if (application)
            g_object_unref(application);
        atspi_exit();
        program.reset();
        ProcessEnd::end(launcher);
        bus.reset();
        ProcessEnd::end(display);
    }

    // What a screen reader says of each control: the window's name (its title stays empty), the
    // buttons' names (they show only icons), the slider's and the playlist's.
    void shouldNameEveryControl_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("name");
        QTest::newRow("the window") << "frame"
                                    << "Brisnak";
        for (const char* button : {"Stop", "Pause", "Play", "Previous", "Next"})
            QTest::newRow(button) << "push button" << button;
        QTest::newRow("the seek slider") << "slider"
                                         << "Position";
        QTest::newRow("the playlist") << "list"
                                      << "Playlist";
    }

    void shouldNameEveryControl()
    {
        QFETCH(QString, role);
        QFETCH(QString, name);
        AtspiAccessible* found = control(role, name);
        QVERIFY2(found, qPrintable(role + ' ' + name));
        QCOMPARE(nameOf(found), name);
        g_object_unref(found);
    }

    // Play: row 0 starts, then the automatic advance starts rows 1 and 2, with the keyboard on
    // the Play button throughout. The playlist takes no focus; the slider tells the seconds.
    void shouldLeaveFocusWhereTheKeyboardIsAsRowsStart()
    {
        AtspiAccessible* play = control(QStringLiteral("push button"), QStringLiteral("Play"));
        AtspiAccessible* slider = control(QStringLiteral("slider"), QStringLiteral("Position"));
        QVERIFY(play && slider);
        AtspiValue* value = atspi_accessible_get_value_iface(slider);
        QVERIFY(value);
        QCOMPARE(atspi_value_get_maximum_value(value, nullptr), 0.0);

        AtspiEventListener* listener = atspi_event_listener_new(&noteFocus, nullptr, nullptr);
        QVERIFY(atspi_event_listener_register(listener, "object:state-changed:focused", nullptr));
        QVERIFY(atspi_event_listener_register(listener, "focus:", nullptr));
        AtspiAction* press = atspi_accessible_get_action_iface(play);
        QVERIFY(press && atspi_action_do_action(press, 0, nullptr));
        // A second's tone: its length in seconds, then the third row playing.
        QTRY_COMPARE_WITH_TIMEOUT(atspi_value_get_maximum_value(value, nullptr), 1.0, 10000);
        AtspiAccessible* last = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (last = control(QStringLiteral("label"), QStringLiteral("Now playing: ") +
                                                         QDir(tones.path()).filePath("row2.wav"))),
            15000);
        QTest::qWait(500);
        atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
        atspi_event_listener_deregister(listener, "focus:", nullptr);
        QVERIFY2(!focused.contains(QStringLiteral("list item")) &&
                     !focused.contains(QStringLiteral("list")),
                 qPrintable(focused.join(", ")));
        g_object_unref(last);
        g_object_unref(press);
        g_object_unref(value);
        g_object_unref(listener);
        g_object_unref(slider);
        g_object_unref(play);
    }
};

QTEST_GUILESS_MAIN(AccessibilityTest)
#include "AccessibilityTest.moc"
