// Double-click, Play, Pause, Stop, Next and Previous through the real buttons, menu entries and
// playlist rows, with the real player sounding short tones of distinct lengths: the seek slider's
// maximum tells which row sounds.
#include "MainWindow.h"
#include "MainWindowProbe.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QLabel>
#include <QListWidget>
#include <QSlider>
#include <QTest>
#include <QTimer>

namespace
{

const double seconds[] = {3.0, 4.0, 5.0};

// Whether the player's position moves on by itself, that is whether something is heard.
bool advances(SoundPlayer& player)
{
    const uint32_t start = player.GetPosition();
    return QTest::qWaitFor([&] { return player.GetPosition() > start; }, 5000);
}

// Whether the position stops moving: a paused channel fades out for a moment, then holds.
bool holdsStill(SoundPlayer& player)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const uint32_t before = player.GetPosition();
        QTest::qWait(300);
        if (player.GetPosition() == before)
            return true;
    }
    return false;
}

} // namespace

class TransportTest : public QObject
{
    Q_OBJECT

    ToneFiles tones;
    QStringList paths;

    // The same command through its button or through its Playback menu entry.
    void run(MainWindowProbe& probe, const char* command, bool viaMenu)
    {
        const QByteArray name(command);
        if (viaMenu)
            probe.trigger(("menu" + name).constData());
        else
            probe.click((name.toLower() + "Button").constData());
    }

    void addRows(MainWindowProbe& probe)
    {
        // Rows appended exactly as Add files appends them.
        for (const QString& path : paths)
            probe.list()->addItem(path);
    }

    QString nowPlaying(int row) const { return QStringLiteral("Now playing: ") + paths[row]; }
    static int length(int row) { return ToneFiles::lengthMs(seconds[row]); }

private slots:
    void initTestCase()
    {
        QVERIFY(tones.isValid());
        for (int row = 0; row < 3; ++row) {
            paths << tones.wav(QStringLiteral("row%1.wav").arg(row), seconds[row]);
            QVERIFY(!paths.last().isEmpty());
        }
    }

    void commands_data()
    {
        QTest::addColumn<bool>("viaMenu");
        QTest::newRow("buttons") << false;
        QTest::newRow("menu entries") << true;
    }

    void shouldStartTheRowBelowTheDoubleClickedOneUnlessItIsTheLast()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        probe.doubleClickRow(1);
        QCOMPARE(probe.list()->currentRow(), 1);
        QCOMPARE(probe.selectedRows(), QList<int>{2});
        QCOMPARE(probe.seekBar()->maximum(), length(2));
        QCOMPARE(probe.player().GetLength(), uint32_t(length(2)));
        QCOMPARE(probe.status(), nowPlaying(2));
        QVERIFY(probe.timer()->isActive());
        QCOMPARE(probe.timer()->interval(), 500);
        QVERIFY(advances(probe.player()));

        probe.doubleClickRow(2);
        QCOMPARE(probe.list()->currentRow(), 2);
        QCOMPARE(probe.selectedRows(), QList<int>{2});
        QCOMPARE(probe.seekBar()->maximum(), length(2));
        QCOMPARE(probe.status(), nowPlaying(2));

        probe.doubleClickRow(0);
        QCOMPARE(probe.list()->currentRow(), 0);
        QCOMPARE(probe.selectedRows(), QList<int>{1});
        QCOMPARE(probe.seekBar()->maximum(), length(1));
        QCOMPARE(probe.status(), nowPlaying(1));
        QVERIFY(advances(probe.player()));
        QCOMPARE(probe.paused(), 0);
    }

    void shouldMoveWithNextAndPreviousAndRefuseAtTheEnds_data() { commands_data(); }
    void shouldMoveWithNextAndPreviousAndRefuseAtTheEnds()
    {
        QFETCH(bool, viaMenu);
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            MainWindowProbe probe(window);
            addRows(probe);

            // Play on a fresh list starts row 0 and leaves the list without a current row.
            run(probe, "Play", viaMenu);
            QCOMPARE(probe.list()->currentRow(), -1);
            QCOMPARE(probe.selectedRows(), QList<int>{0});
            QCOMPARE(probe.seekBar()->maximum(), length(0));
            QCOMPARE(probe.status(), nowPlaying(0));

            // The current row trails the one that sounds.
            run(probe, "Next", viaMenu);
            QCOMPARE(probe.list()->currentRow(), 0);
            QCOMPARE(probe.selectedRows(), QList<int>{1});
            QCOMPARE(probe.seekBar()->maximum(), length(1));
            QCOMPARE(probe.status(), nowPlaying(1));

            run(probe, "Next", viaMenu);
            QCOMPARE(probe.list()->currentRow(), 1);
            QCOMPARE(probe.selectedRows(), QList<int>{2});
            QCOMPARE(probe.seekBar()->maximum(), length(2));
            QVERIFY(advances(probe.player()));

            // The last row is selected: Next refuses and the last row keeps sounding.
            const uint32_t before = probe.player().GetPosition();
            run(probe, "Next", viaMenu);
            QCOMPARE(probe.list()->currentRow(), 1);
            QCOMPARE(probe.selectedRows(), QList<int>{2});
            QCOMPARE(probe.status(), nowPlaying(2));
            QVERIFY(probe.player().GetPosition() >= before);
        }
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            MainWindowProbe probe(window);
            addRows(probe);
            run(probe, "Play", viaMenu);
            run(probe, "Next", viaMenu);

            // Row 0 current, row 1 sounding: Previous leaves no current row and starts row 0.
            run(probe, "Previous", viaMenu);
            QCOMPARE(probe.list()->currentRow(), -1);
            QCOMPARE(probe.selectedRows(), QList<int>{0});
            QCOMPARE(probe.seekBar()->maximum(), length(0));
            QCOMPARE(probe.status(), nowPlaying(0));

            run(probe, "Previous", viaMenu);
            QCOMPARE(probe.list()->currentRow(), -1);
            QCOMPARE(probe.selectedRows(), QList<int>{0});
            QCOMPARE(probe.seekBar()->maximum(), length(0));

            // With the last row current, Previous makes the row above current and restarts the
            // last row from its beginning.
            probe.doubleClickRow(2);
            QVERIFY(QTest::qWaitFor([&] { return probe.player().GetPosition() > 300; }, 5000));
            const uint32_t played = probe.player().GetPosition();
            run(probe, "Next", viaMenu);
            QCOMPARE(probe.list()->currentRow(), 2);
            QVERIFY(probe.player().GetPosition() >= played);
            run(probe, "Previous", viaMenu);
            QCOMPARE(probe.list()->currentRow(), 1);
            QCOMPARE(probe.selectedRows(), QList<int>{2});
            QCOMPARE(probe.seekBar()->maximum(), length(2));
            QVERIFY(probe.player().GetPosition() < played);
            QCOMPARE(probe.paused(), 0);
        }
    }

    void shouldDoNothingWithoutRowsOrSelection_data() { commands_data(); }
    void shouldDoNothingWithoutRowsOrSelection()
    {
        QFETCH(bool, viaMenu);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);

        for (const char* command : {"Play", "Pause", "Next", "Previous"})
            run(probe, command, viaMenu);
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.status(), QString());
        QVERIFY(!probe.timer()->isActive());
        QCOMPARE(probe.seekBar()->maximum(), 99);

        // Rows but none selected: Pause, Next and Previous check the selection.
        addRows(probe);
        for (const char* command : {"Pause", "Next", "Previous"})
            run(probe, command, viaMenu);
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.status(), QString());
        QVERIFY(!probe.timer()->isActive());
        QCOMPARE(probe.list()->currentRow(), -1);
        QVERIFY(probe.selectedRows().isEmpty());
        QCOMPARE(probe.player().GetLength(), 0u);

        // A selected row that never played: Pause swaps in the paused text anyway, and Play
        // restores the empty text it saved without starting anything.
        probe.clickRow(1);
        run(probe, "Pause", viaMenu);
        QCOMPARE(probe.status(), QStringLiteral("Music is paused!"));
        QCOMPARE(probe.paused(), 1);
        run(probe, "Play", viaMenu);
        QCOMPARE(probe.status(), QString());
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.player().GetLength(), 0u);
        QVERIFY(!probe.timer()->isActive());
    }

    void shouldPauseAndResumeWhereItPaused_data() { commands_data(); }
    void shouldPauseAndResumeWhereItPaused()
    {
        QFETCH(bool, viaMenu);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        run(probe, "Play", viaMenu);
        QVERIFY(advances(probe.player()));
        run(probe, "Pause", viaMenu);
        QCOMPARE(probe.status(), QStringLiteral("Music is paused!"));
        QCOMPARE(probe.pausedText(), nowPlaying(0));
        QCOMPARE(probe.paused(), 1);
        QVERIFY(holdsStill(probe.player()));
        const uint32_t heldAt = probe.player().GetPosition();

        run(probe, "Pause", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QVERIFY(advances(probe.player()));
        QVERIFY(probe.player().GetPosition() >= heldAt);

        // Play while paused resumes without restarting the track.
        run(probe, "Pause", viaMenu);
        const uint32_t heldAgain = probe.player().GetPosition();
        run(probe, "Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.seekBar()->maximum(), length(0));
        QVERIFY(probe.player().GetPosition() >= heldAgain);
        QVERIFY(advances(probe.player()));
    }

    void shouldStopSilentlyAndLeaveEverythingElse_data() { commands_data(); }
    void shouldStopSilentlyAndLeaveEverythingElse()
    {
        QFETCH(bool, viaMenu);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        run(probe, "Stop", viaMenu); // nothing plays yet: harmless
        QCOMPARE(probe.status(), QString());

        run(probe, "Play", viaMenu);
        QVERIFY(QTest::qWaitFor([&] { return probe.player().GetPosition() > 300; }, 5000));
        run(probe, "Stop", viaMenu);
        QCOMPARE(probe.status(), QString());
        QCOMPARE(probe.player().GetPosition(), 0u);
        QVERIFY(probe.timer()->isActive());
        QCOMPARE(probe.seekBar()->maximum(), length(0));
        QCOMPARE(probe.list()->currentRow(), -1);
        QCOMPARE(probe.selectedRows(), QList<int>{0});
        QCOMPARE(probe.paused(), 0);

        // The current row still trails: Play starts the stopped row from its beginning.
        run(probe, "Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.selectedRows(), QList<int>{0});
        QVERIFY(probe.player().GetPosition() < 300);
        QVERIFY(advances(probe.player()));
    }

    void shouldSaySoWhenARowCannotBePlayedAndMoveOn()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        // A file that went away after it was added, then a playable one.
        const QString gone = tones.path() + QStringLiteral("/gone.wav");
        probe.list()->addItem(gone);
        probe.list()->addItem(paths[0]);

        probe.click("playButton");
        QCOMPARE(probe.status(), QStringLiteral("Cannot play: ") + gone);
        QCOMPARE(probe.selectedRows(), QList<int>{0});
        QCOMPARE(probe.seekBar()->maximum(), 0);
        QCOMPARE(probe.player().GetLength(), 0u);
        QVERIFY(probe.timer()->isActive());

        // Nothing sounds, so the next tick finds the end at once and moves on.
        QTRY_COMPARE_WITH_TIMEOUT(probe.status(), nowPlaying(0), 3000);
        QCOMPARE(probe.list()->currentRow(), 0);
        QCOMPARE(probe.selectedRows(), QList<int>{1});
        QCOMPARE(probe.seekBar()->maximum(), length(0));
        QVERIFY(advances(probe.player()));
    }

    void shouldKeepThePausedFlagAcrossStopAndNewRows_data() { commands_data(); }
    void shouldKeepThePausedFlagAcrossStopAndNewRows()
    {
        QFETCH(bool, viaMenu);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        // Pause, Stop, Play: Play takes the resume path and shows the saved text over silence;
        // a second Play starts a row.
        run(probe, "Play", viaMenu);
        run(probe, "Pause", viaMenu);
        run(probe, "Stop", viaMenu);
        QCOMPARE(probe.paused(), 1);
        QCOMPARE(probe.status(), QString());
        run(probe, "Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.player().GetPosition(), 0u);
        run(probe, "Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QVERIFY(advances(probe.player()));

        // Next while paused starts the next row audibly; the flag stays set, and the following
        // Pause brings back the text saved at the earlier pause.
        run(probe, "Pause", viaMenu);
        run(probe, "Next", viaMenu);
        QCOMPARE(probe.paused(), 1);
        QCOMPARE(probe.status(), nowPlaying(1));
        QCOMPARE(probe.seekBar()->maximum(), length(1));
        QVERIFY(advances(probe.player()));
        run(probe, "Pause", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);

        // A double-click while paused starts the picked row; Play then only resumes the flag
        // and shows the text naming the row that was paused.
        run(probe, "Pause", viaMenu);
        QCOMPARE(probe.pausedText(), nowPlaying(0));
        probe.doubleClickRow(1);
        QCOMPARE(probe.status(), nowPlaying(2));
        QCOMPARE(probe.paused(), 1);
        QVERIFY(advances(probe.player()));
        run(probe, "Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.seekBar()->maximum(), length(2));
        QCOMPARE(probe.player().GetLength(), uint32_t(length(2)));
    }
};

QTEST_MAIN(TransportTest)
#include "TransportTest.moc"
