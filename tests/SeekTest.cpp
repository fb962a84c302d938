// The progress tick, the seek slider and the end of a track, with the real timer and player.
#include "MainWindow.h"
#include "MainWindowProbe.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>

namespace
{
const double seconds[] = {3.0, 4.0, 5.0};
}

class SeekTest : public QObject
{
    Q_OBJECT

    ToneFiles tones;
    QStringList paths;

    void addRows(MainWindowProbe& probe, int count = 3)
    {
        // Rows appended exactly as Add files appends them.
        for (int row = 0; row < count; ++row)
            probe.list()->addItem(paths[row]);
    }

    QString nowPlaying(int row) const { return QStringLiteral("Now playing: ") + paths[row]; }
    static int length(int row) { return ToneFiles::lengthMs(seconds[row]); }

    // Seeks the sounding track to its very end and waits until the player reports it ended.
    static bool playToTheEnd(MainWindowProbe& probe)
    {
        probe.dragSliderTo(probe.seekBar()->maximum());
        SoundPlayer& player = probe.player();
        return QTest::qWaitFor(
            [&] { return player.GetLength() > 0 && player.GetPosition() == player.GetLength(); },
            5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tones.isValid());
        for (int row = 0; row < 3; ++row) {
            paths << tones.wav(QStringLiteral("seek%1.wav").arg(row), seconds[row]);
            QVERIFY(!paths.last().isEmpty());
        }
    }

    void shouldFollowThePositionEveryHalfSecond()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);
        QVERIFY(!probe.timer()->isActive());

        QSignalSpy ticks(probe.timer(), &QTimer::timeout);
        probe.doubleClickRow(0);
        QCOMPARE(probe.seekBar()->maximum(), length(1));
        QCOMPARE(probe.timer()->interval(), 500);
        QVERIFY(!probe.timer()->isSingleShot());
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 2, 3000);
        const int value = probe.seekBar()->value();
        QVERIFY(value > 0);
        QVERIFY(value <= length(1));
        QTRY_VERIFY_WITH_TIMEOUT(probe.seekBar()->value() > value, 3000);
        QCOMPARE(probe.seekBar()->maximum(), length(1));
    }

    void shouldSuspendTheTickWhileDraggingAndSeekOnRelease()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        probe.doubleClickRow(2);
        QCOMPARE(probe.seekBar()->maximum(), length(2));
        probe.pressAndMoveSlider(3000);
        QVERIFY(!probe.timer()->isActive());
        QCOMPARE(probe.seekBar()->value(), 3000);
        QVERIFY(probe.player().GetPosition() < 3000);

        probe.releaseSlider();
        QVERIFY(probe.timer()->isActive());
        QVERIFY(probe.player().GetPosition() >= 3000);
        QTRY_VERIFY_WITH_TIMEOUT(probe.seekBar()->value() > 3000, 3000);

        // Releasing without moving seeks to where the handle stands.
        probe.dragSliderTo(probe.seekBar()->value());
        QVERIFY(probe.timer()->isActive());

        // A click on the groove only steps the value: the player is not told, the tick wins.
        probe.seekBar()->setValue(500);
        probe.seekBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QVERIFY(probe.player().GetPosition() >= 3000);
        QTRY_VERIFY_WITH_TIMEOUT(probe.seekBar()->value() >= 3000, 3000);
    }

    void shouldPutTheSliderBackWhenNothingIsSelected()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        probe.pressAndMoveSlider(60);
        QCOMPARE(probe.seekBar()->value(), 60);
        probe.releaseSlider();
        QCOMPARE(probe.seekBar()->value(), 0);
        QVERIFY(!probe.timer()->isActive());
        QCOMPARE(probe.player().GetPosition(), 0u);
        QCOMPARE(probe.status(), QString());
    }

    void shouldTakeAReleaseBeforeAnyPlayForTheEndOfATrack()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        // Row 1 current and selected, nothing ever played: the release starts the tick, whose
        // first run reads position 0 and length 0 and runs Next.
        probe.clickRow(1);
        probe.dragSliderTo(40);
        QVERIFY(probe.timer()->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(probe.list()->currentRow(), 2, 3000);
        QCOMPARE(probe.selectedRows(), QList<int>{2});
        QCOMPARE(probe.seekBar()->maximum(), length(2));
        QCOMPARE(probe.status(), nowPlaying(2));
    }

    void shouldClearTheDisplayWhenTheCurrentLastRowEnds()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe, 2);

        probe.doubleClickRow(1);
        QCOMPARE(probe.list()->currentRow(), 1);
        QVERIFY(playToTheEnd(probe));
        QTRY_COMPARE_WITH_TIMEOUT(probe.status(), QString(), 3000);
        QCOMPARE(probe.seekBar()->value(), 0);
        QVERIFY(probe.timer()->isActive());

        // The position keeps equalling the length: every later tick does the same again.
        probe.seekBar()->setValue(700);
        probe.statusLabel()->setText(QStringLiteral("stale"));
        probe.tick();
        QCOMPARE(probe.seekBar()->value(), 0);
        QCOMPARE(probe.status(), QString());
        QCOMPARE(probe.list()->currentRow(), 1);
        QCOMPARE(probe.selectedRows(), QList<int>{1});
    }

    void shouldHoldTheEndWhenTheLastRowEndsWithoutBeingCurrent()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        probe.doubleClickRow(1);
        QCOMPARE(probe.selectedRows(), QList<int>{2});
        QVERIFY(playToTheEnd(probe));
        QSignalSpy ticks(probe.timer(), &QTimer::timeout);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 2, 3000);
        QCOMPARE(probe.seekBar()->value(), length(2));
        QCOMPARE(probe.status(), nowPlaying(2));
        QCOMPARE(probe.list()->currentRow(), 1);
        QCOMPARE(probe.selectedRows(), QList<int>{2});
        QVERIFY(probe.timer()->isActive());
    }

    void shouldAdvanceToTheNextRowWhenATrackEnds()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        probe.doubleClickRow(0);
        QCOMPARE(probe.seekBar()->maximum(), length(1));
        QVERIFY(playToTheEnd(probe));
        QTRY_COMPARE_WITH_TIMEOUT(probe.seekBar()->maximum(), length(2), 3000);
        QCOMPARE(probe.list()->currentRow(), 1);
        QCOMPARE(probe.selectedRows(), QList<int>{2});
        QCOMPARE(probe.status(), nowPlaying(2));
        QVERIFY(probe.seekBar()->value() <= length(2));
    }

    void shouldReturnTheSliderToZeroAfterStop()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MainWindowProbe probe(window);
        addRows(probe);

        probe.doubleClickRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(probe.seekBar()->value() > 0, 3000);
        probe.click("stopButton");
        QVERIFY(probe.timer()->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(probe.seekBar()->value(), 0, 3000);
        QCOMPARE(probe.seekBar()->maximum(), length(1));
        QCOMPARE(probe.status(), QString());
        QCOMPARE(probe.selectedRows(), QList<int>{1});
    }
};

QTEST_MAIN(SeekTest)
#include "SeekTest.moc"
