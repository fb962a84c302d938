// Double-click, Play, Pause, Stop, Next and Previous through the real buttons, menu entries and
// playlist rows, with the real player sounding short tones of distinct lengths: the seek slider's
// maximum tells which row sounds. Every case runs once through the buttons and once through the
// Playback menu.
#include "MainWindowProbe.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QLabel>
#include <QListWidget>
#include <QSlider>
#include <QTest>
#include <QTimer>

class TransportTest : public QObject
{
    Q_OBJECT

    const QList<double> seconds{3.0, 4.0, 5.0};
    ToneFiles tones;
    QStringList paths;
    // Whether this run gives its commands through the Playback menu rather than the buttons.
    bool viaMenu = false;

    QString nowPlaying(int row) const { return MainWindowProbe::nowPlaying(paths[row]); }
    int length(int row) const { return ToneFiles::lengthMs(seconds[row]); }

    // Whether `row` sounds with `current` as the list's current row; probe.mismatch() says why not.
    bool sounding(MainWindowProbe& probe, int current, int row) const
    {
        return probe.shows(current, row, length(row), nowPlaying(row));
    }

private slots:
    void initTestCase_data()
    {
        QTest::addColumn<bool>("viaMenu");
        QTest::newRow("buttons") << false;
        QTest::newRow("menu entries") << true;
    }

    void initTestCase()
    {
        QVERIFY(tones.isValid());
        paths = tones.wavs(QStringLiteral("row"), seconds);
        QCOMPARE(paths.size(), seconds.size());
    }

    void init()
    {
        QFETCH_GLOBAL(bool, viaMenu);
        this->viaMenu = viaMenu;
    }

    void shouldStartTheRowBelowTheDoubleClickedOneUnlessItIsTheLast()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        probe.doubleClickRow(1);
        QVERIFY2(sounding(probe, 1, 2), probe.mismatch());
        QCOMPARE(probe.player().GetLength(), uint32_t(length(2)));
        QVERIFY(probe.timer()->isActive());
        QCOMPARE(probe.timer()->interval(), 500);
        QVERIFY(probe.advances());

        probe.doubleClickRow(2);
        QVERIFY2(sounding(probe, 2, 2), probe.mismatch());

        probe.doubleClickRow(0);
        QVERIFY2(sounding(probe, 0, 1), probe.mismatch());
        QVERIFY(probe.advances());
        QCOMPARE(probe.paused(), 0);
    }

    void shouldMoveWithNextAndRefuseAtTheLastRow()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        // Play on a fresh list starts row 0 and leaves the list without a current row.
        probe.command("Play", viaMenu);
        QVERIFY2(sounding(probe, -1, 0), probe.mismatch());

        // The current row trails the one that sounds.
        probe.command("Next", viaMenu);
        QVERIFY2(sounding(probe, 0, 1), probe.mismatch());
        probe.command("Next", viaMenu);
        QVERIFY2(sounding(probe, 1, 2), probe.mismatch());
        QVERIFY(probe.advances());

        // The last row is selected: Next refuses and the last row keeps sounding.
        const uint32_t before = probe.player().GetPosition();
        probe.command("Next", viaMenu);
        QVERIFY2(sounding(probe, 1, 2), probe.mismatch());
        QVERIFY(probe.player().GetPosition() >= before);
    }

    void shouldMoveWithPreviousAndRefuseAtTheFirstRow()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));
        probe.command("Play", viaMenu);
        probe.command("Next", viaMenu);

        // Row 0 current, row 1 sounding: Previous leaves no current row and starts row 0.
        probe.command("Previous", viaMenu);
        QVERIFY2(sounding(probe, -1, 0), probe.mismatch());
        probe.command("Previous", viaMenu);
        QVERIFY2(sounding(probe, -1, 0), probe.mismatch());

        // With the last row current, Previous makes the row above current and restarts the
        // last row from its beginning.
        probe.doubleClickRow(2);
        QVERIFY(probe.passes(300));
        const uint32_t played = probe.player().GetPosition();
        probe.command("Next", viaMenu);
        QCOMPARE(probe.list()->currentRow(), 2);
        QVERIFY(probe.player().GetPosition() >= played);
        probe.command("Previous", viaMenu);
        QVERIFY2(sounding(probe, 1, 2), probe.mismatch());
        QVERIFY(probe.player().GetPosition() < played);
        QCOMPARE(probe.paused(), 0);
    }

    void shouldDoNothingWithoutRowsOrSelection()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show());

        for (const char* command : {"Play", "Pause", "Next", "Previous"})
            probe.command(command, viaMenu);
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.status(), QString());
        QVERIFY(!probe.timer()->isActive());
        QCOMPARE(probe.seekBar()->maximum(), 99);

        // Rows but none selected: Pause, Next and Previous check the selection.
        probe.addRows(paths);
        for (const char* command : {"Pause", "Next", "Previous"})
            probe.command(command, viaMenu);
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.status(), QString());
        QVERIFY(!probe.timer()->isActive());
        QCOMPARE(probe.list()->currentRow(), -1);
        QVERIFY(probe.selectedRows().isEmpty());
        QCOMPARE(probe.player().GetLength(), 0u);

        // A selected row that never played: Pause swaps in the paused text anyway, and Play
        // restores the empty text it saved without starting anything.
        probe.clickRow(1);
        probe.command("Pause", viaMenu);
        QCOMPARE(probe.status(), QStringLiteral("Music is paused!"));
        QCOMPARE(probe.paused(), 1);
        probe.command("Play", viaMenu);
        QCOMPARE(probe.status(), QString());
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.player().GetLength(), 0u);
        QVERIFY(!probe.timer()->isActive());
    }

    void shouldPauseAndResumeWhereItPaused()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        probe.command("Play", viaMenu);
        QVERIFY(probe.advances());
        probe.command("Pause", viaMenu);
        QCOMPARE(probe.status(), QStringLiteral("Music is paused!"));
        QCOMPARE(probe.pausedText(), nowPlaying(0));
        QCOMPARE(probe.paused(), 1);
        QVERIFY(probe.holdsStill());
        const uint32_t heldAt = probe.player().GetPosition();

        probe.command("Pause", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QVERIFY(probe.advances());
        QVERIFY(probe.player().GetPosition() >= heldAt);

        // Play while paused resumes without restarting the track.
        probe.command("Pause", viaMenu);
        const uint32_t heldAgain = probe.player().GetPosition();
        probe.command("Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.seekBar()->maximum(), length(0));
        QVERIFY(probe.player().GetPosition() >= heldAgain);
        QVERIFY(probe.advances());
    }

    void shouldStopSilentlyAndLeaveEverythingElse()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        probe.command("Stop", viaMenu); // nothing plays yet: harmless
        QCOMPARE(probe.status(), QString());

        probe.command("Play", viaMenu);
        QVERIFY(probe.passes(300));
        probe.command("Stop", viaMenu);
        QVERIFY2(probe.shows(-1, 0, length(0), QString()), probe.mismatch());
        QCOMPARE(probe.player().GetPosition(), 0u);
        QVERIFY(probe.timer()->isActive());
        QCOMPARE(probe.paused(), 0);

        // The current row still trails: Play starts the stopped row from its beginning.
        probe.command("Play", viaMenu);
        QVERIFY2(sounding(probe, -1, 0), probe.mismatch());
        QVERIFY(probe.player().GetPosition() < 300);
        QVERIFY(probe.advances());
    }

    void shouldSaySoWhenARowCannotBePlayedAndMoveOn()
    {
        // A file that went away after it was added, then a playable one.
        const QString gone = tones.path() + QStringLiteral("/gone.wav");
        MainWindowProbe probe;
        QVERIFY(probe.show({gone, paths[0]}));

        probe.command("Play", viaMenu);
        QVERIFY2(probe.shows(-1, 0, 0, QStringLiteral("Cannot play: ") + gone), probe.mismatch());
        QCOMPARE(probe.player().GetLength(), 0u);
        QVERIFY(probe.timer()->isActive());

        // Nothing sounds, so the next tick finds the end at once and moves on.
        QTRY_COMPARE_WITH_TIMEOUT(probe.status(), nowPlaying(0), 3000);
        QVERIFY2(probe.shows(0, 1, length(0), nowPlaying(0)), probe.mismatch());
        QVERIFY(probe.advances());
    }

    void shouldKeepThePausedFlagAcrossStopAndNewRows()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        // Pause, Stop, Play: Play takes the resume path and shows the saved text over silence;
        // a second Play starts a row.
        probe.command("Play", viaMenu);
        probe.command("Pause", viaMenu);
        probe.command("Stop", viaMenu);
        QCOMPARE(probe.paused(), 1);
        QCOMPARE(probe.status(), QString());
        probe.command("Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.player().GetPosition(), 0u);
        probe.command("Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QVERIFY(probe.advances());

        // Next while paused starts the next row audibly; the flag stays set, and the following
        // Pause brings back the text saved at the earlier pause.
        probe.command("Pause", viaMenu);
        probe.command("Next", viaMenu);
        QCOMPARE(probe.paused(), 1);
        QCOMPARE(probe.status(), nowPlaying(1));
        QCOMPARE(probe.seekBar()->maximum(), length(1));
        QVERIFY(probe.advances());
        probe.command("Pause", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);

        // A double-click while paused starts the picked row; Play then only resumes the flag
        // and shows the text naming the row that was paused.
        probe.command("Pause", viaMenu);
        QCOMPARE(probe.pausedText(), nowPlaying(0));
        probe.doubleClickRow(1);
        QCOMPARE(probe.status(), nowPlaying(2));
        QCOMPARE(probe.paused(), 1);
        QVERIFY(probe.advances());
        probe.command("Play", viaMenu);
        QCOMPARE(probe.status(), nowPlaying(0));
        QCOMPARE(probe.paused(), 0);
        QCOMPARE(probe.seekBar()->maximum(), length(2));
        QCOMPARE(probe.player().GetLength(), uint32_t(length(2)));
    }
};

QTEST_MAIN(TransportTest)
#include "TransportTest.moc"
