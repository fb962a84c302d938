// The progress tick, the seek slider and the end of a track, with the real timer and player.
#include "MainWindowProbe.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>

class SeekTest : public QObject
{
    Q_OBJECT

    const QList<double> seconds{3.0, 4.0, 5.0};
    ToneFiles tones;
    QStringList paths;

    QString nowPlaying(int row) const { return MainWindowProbe::nowPlaying(paths[row]); }
    int length(int row) const { return ToneFiles::lengthMs(seconds[row]); }

private slots:
    void initTestCase()
    {
        QVERIFY(tones.isValid());
        paths = tones.wavs(QStringLiteral("seek"), seconds);
        QCOMPARE(paths.size(), seconds.size());
    }

    void shouldFollowThePositionEveryHalfSecond()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));
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
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

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
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

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
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        // Row 1 current and selected, nothing ever played: the release starts the tick, whose
        // first run reads position 0 and length 0 and runs Next.
        probe.clickRow(1);
        probe.dragSliderTo(40);
        QVERIFY(probe.timer()->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(probe.list()->currentRow(), 2, 3000);
        QVERIFY2(probe.shows(2, 2, length(2), nowPlaying(2)), probe.mismatch());
    }

    void shouldClearTheDisplayWhenTheCurrentLastRowEnds()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths.first(2)));

        probe.doubleClickRow(1);
        QCOMPARE(probe.list()->currentRow(), 1);
        QVERIFY(probe.playToTheEnd());
        QTRY_COMPARE_WITH_TIMEOUT(probe.status(), QString(), 3000);
        QCOMPARE(probe.seekBar()->value(), 0);
        QVERIFY(probe.timer()->isActive());

        // The position keeps equalling the length: every later tick does the same again.
        probe.seekBar()->setValue(700);
        probe.statusLabel()->setText(QStringLiteral("stale"));
        probe.tick();
        QCOMPARE(probe.seekBar()->value(), 0);
        QVERIFY2(probe.shows(1, 1, length(1), QString()), probe.mismatch());
    }

    void shouldHoldTheEndWhenTheLastRowEndsWithoutBeingCurrent()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        probe.doubleClickRow(1);
        QCOMPARE(probe.selectedRows(), QList<int>{2});
        QVERIFY(probe.playToTheEnd());
        QSignalSpy ticks(probe.timer(), &QTimer::timeout);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 2, 3000);
        QCOMPARE(probe.seekBar()->value(), length(2));
        QVERIFY2(probe.shows(1, 2, length(2), nowPlaying(2)), probe.mismatch());
        QVERIFY(probe.timer()->isActive());
    }

    void shouldAdvanceToTheNextRowWhenATrackEnds()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        probe.doubleClickRow(0);
        QCOMPARE(probe.seekBar()->maximum(), length(1));
        QVERIFY(probe.playToTheEnd());
        QTRY_COMPARE_WITH_TIMEOUT(probe.seekBar()->maximum(), length(2), 3000);
        QVERIFY2(probe.shows(1, 2, length(2), nowPlaying(2)), probe.mismatch());
        QVERIFY(probe.seekBar()->value() <= length(2));
    }

    void shouldReturnTheSliderToZeroAfterStop()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));

        probe.doubleClickRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(probe.seekBar()->value() > 0, 3000);
        probe.click("stopButton");
        QVERIFY(probe.timer()->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(probe.seekBar()->value(), 0, 3000);
        QVERIFY2(probe.shows(0, 1, length(1), QString()), probe.mismatch());
    }
};

QTEST_MAIN(SeekTest)
#include "SeekTest.moc"
