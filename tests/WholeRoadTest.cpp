// The whole road: files added through the dialog, played, and followed to the end of the list by
// the real timer alone.
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

// What the window showed right after one tick.
struct Seen {
    QString status;
    int value = 0;
    int maximum = 0;
    int currentRow = -1;
    QList<int> selected;
};

} // namespace

class WholeRoadTest : public QObject
{
    Q_OBJECT

    ToneFiles tones;
    QStringList names{QStringLiteral("first.wav"), QStringLiteral("second.wav"),
                      QStringLiteral("third.wav")};
    QStringList paths;

    QString nowPlaying(int row) const { return MainWindowProbe::nowPlaying(paths[row]); }

private slots:
    void initTestCase()
    {
        QVERIFY(tones.isValid());
        for (const QString& name : names) {
            paths << tones.wav(name, 1.0);
            QVERIFY(!paths.last().isEmpty());
        }
        QVERIFY(tones.enter());
    }

    void shouldPlayEveryRowInTurnAndHoldTheLastWhenItIsNotCurrent()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show());
        QCOMPARE(probe.addFiles(names), paths);
        QCOMPARE(probe.list()->count(), 3);

        // Record the window after every tick; this connection runs after the window's own.
        QList<Seen> seen;
        connect(probe.timer(), &QTimer::timeout, this, [&] {
            seen << Seen{probe.status(), probe.seekBar()->value(), probe.seekBar()->maximum(),
                         probe.list()->currentRow(), probe.selectedRows()};
        });

        probe.click("playButton");
        QVERIFY2(probe.shows(-1, 0, 1000, nowPlaying(0)), probe.mismatch());

        SoundPlayer& player = probe.player();
        QTRY_COMPARE_WITH_TIMEOUT(probe.status(), nowPlaying(2), 6000);
        QTRY_VERIFY_WITH_TIMEOUT(player.GetPosition() == player.GetLength(), 4000);
        const int ticksAtEnd = seen.size();
        QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= ticksAtEnd + 2, 3000);

        // Every row had its turn, in order, each with the selection on the row that sounds and
        // the current row one behind it.
        int track = 0;
        QList<int> highest(3, 0);
        for (const Seen& tick : seen) {
            if (tick.status != nowPlaying(track)) {
                QVERIFY2(track < 2, qPrintable(tick.status));
                ++track;
                QCOMPARE(tick.status, nowPlaying(track));
            }
            QCOMPARE(tick.selected, QList<int>{track});
            QCOMPARE(tick.currentRow, track - 1);
            QCOMPARE(tick.maximum, 1000);
            QVERIFY(tick.value >= 0 && tick.value <= 1000);
            highest[track] = std::max(highest[track], tick.value);
        }
        QCOMPARE(track, 2);
        // The slider followed the first two tracks while they sounded...
        QVERIFY(highest[0] > 0);
        QVERIFY(highest[1] > 0);
        // ...and stays at the end of the last one, whose name stays in the status bar: Next
        // refuses, the last row being selected.
        QCOMPARE(seen.last().value, 1000);
        QCOMPARE(seen.last().status, nowPlaying(2));
        QCOMPARE(seen[seen.size() - 2].value, 1000);
        QVERIFY(probe.timer()->isActive());
    }

    void shouldClearTheDisplayWhenTheLastRowEndsWhileItIsCurrent()
    {
        MainWindowProbe probe;
        QVERIFY(probe.show());
        QCOMPARE(probe.addFiles(names), paths);

        // Double-clicking the last row starts that row itself and makes it current.
        probe.doubleClickRow(2);
        QVERIFY2(probe.shows(2, 2, 1000, nowPlaying(2)), probe.mismatch());
        QTRY_VERIFY_WITH_TIMEOUT(probe.seekBar()->value() > 0, 3000);

        QTRY_COMPARE_WITH_TIMEOUT(probe.status(), QString(), 4000);
        QCOMPARE(probe.seekBar()->value(), 0);
        QVERIFY2(probe.shows(2, 2, 1000, QString()), probe.mismatch());
        QVERIFY(probe.timer()->isActive());

        // Later ticks find the same end and keep the display cleared.
        int ticks = 0;
        connect(probe.timer(), &QTimer::timeout, this, [&] {
            ++ticks;
            QCOMPARE(probe.seekBar()->value(), 0);
            QCOMPARE(probe.status(), QString());
        });
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 2, 3000);
    }
};

QTEST_MAIN(WholeRoadTest)
#include "WholeRoadTest.moc"
