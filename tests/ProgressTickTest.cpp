// What the window's 500 ms progress tick asks of the player: two position reads and one length
// read, and not one read more when the media controls are on a session bus. The window runs on the
// real engine and its own timer; every read between the end of one tick and the end of the next is
// counted for the later tick, so periodic work other than the tick would show up as well.
#include "MainWindow.h"
#include "MainWindowProbe.h"
#include "MprisService.h"
#include "PrivateSessionBus.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QSlider>
#include <QTest>
#include <QTimer>

#include <memory>

class ProgressTickTest : public QObject
{
    Q_OBJECT

    // The reads of one tick, and the rows it started (the automatic advance at a track's end).
    struct Tick {
        SoundPlayer::Reads reads;
        uint64_t plays = 0;
    };

    PrivateSessionBus bus;
    ToneFiles tones;
    // A short row that ends within a few ticks, then two long ones.
    const QList<double> seconds{1.2, 30.0, 31.0};
    QStringList paths;

    // Counts the reads of the next `count` ticks of the window's timer.
    static QList<Tick> countTicks(MainWindowProbe& probe, int count)
    {
        QList<Tick> ticks;
        SoundPlayer& player = probe.player();
        SoundPlayer::Reads last = player.GetReads();
        uint64_t lastPlay = player.GetPlayCount();
        // Connected after the window's tick and the media controls' own slot, so it runs once
        // both are done with the tick.
        const QMetaObject::Connection counter =
            connect(probe.timer(), &QTimer::timeout, probe.timer(), [&] {
                const SoundPlayer::Reads now = player.GetReads();
                ticks << Tick{{now.position - last.position, now.length - last.length,
                               now.channelState - last.channelState},
                              player.GetPlayCount() - lastPlay};
                last = now;
                lastPlay = player.GetPlayCount();
            });
        // The caller checks how many were counted.
        (void)QTest::qWaitFor([&] { return ticks.size() >= count; }, count * 500 + 5000);
        disconnect(counter);
        return ticks;
    }

    static QString describe(const QList<Tick>& ticks)
    {
        QStringList out;
        for (const Tick& tick : ticks)
            out << QStringLiteral("position %1, length %2, channel state %3, rows started %4")
                       .arg(tick.reads.position)
                       .arg(tick.reads.length)
                       .arg(tick.reads.channelState)
                       .arg(tick.plays);
        return out.join(QStringLiteral("; "));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
        QVERIFY(tones.isValid());
        paths = tones.wavs(QStringLiteral("row"), seconds);
        QCOMPARE(paths.size(), seconds.size());
    }

    void shouldPollTheEngineTwiceForThePositionAndOnceForTheLength_data()
    {
        QTest::addColumn<bool>("onBus");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("advances");

        using L = QStringList;
        for (const bool onBus : {false, true}) {
            const char* where = onBus ? "on a session bus" : "without a bus";
            // A double-click on row 0 starts row 1; on the last row, that row.
            QTest::addRow("playing, %s", where) << onBus << L{"DoubleClick0"} << false;
            QTest::addRow("paused, %s", where) << onBus << L{"DoubleClick0", "Pause"} << false;
            QTest::addRow("stopped, %s", where) << onBus << L{"DoubleClick0", "Stop"} << false;
            QTest::addRow("last row at its end, %s", where)
                << onBus << L{"DoubleClick2", "End"} << false;
            // The short first row ends and the tick starts the row below.
            QTest::addRow("advancing to the next row, %s", where) << onBus << L{"Play"} << true;
        }
    }

    void shouldPollTheEngineTwiceForThePositionAndOnceForTheLength()
    {
        QFETCH(bool, onBus);
        QFETCH(QStringList, steps);
        QFETCH(bool, advances);

        MainWindowProbe probe;
        QVERIFY(probe.show(paths));
        std::unique_ptr<MprisService> mpris;
        if (onBus) {
            mpris = std::make_unique<MprisService>(probe.window(),
                                                   bus.connect(QStringLiteral("player")));
            QVERIFY(!mpris->serviceName().isEmpty());
        }
        for (const QString& step : std::as_const(steps)) {
            if (step == QLatin1String("DoubleClick0")) {
                probe.doubleClickRow(0);
            } else if (step == QLatin1String("DoubleClick2")) {
                probe.doubleClickRow(2);
            } else if (step == QLatin1String("End")) {
                QVERIFY(probe.playToTheEnd());
                // Let the tick that finds the end run, so that every tick counted is alike.
                QTRY_COMPARE(probe.seekBar()->value(), 0);
            } else {
                probe.command(step.toLatin1().constData(), false);
            }
        }
        QVERIFY(probe.timer()->isActive());

        const QList<Tick> ticks = countTicks(probe, advances ? 6 : 4);
        QVERIFY2(ticks.size() == (advances ? 6 : 4), qPrintable(describe(ticks)));
        uint64_t started = 0;
        for (const Tick& tick : ticks) {
            // The design's budget: two position reads and one length read per tick; a row that
            // the tick starts reads its length once more, as every start of a row does.
            const bool asDesigned = tick.reads.position == 2 &&
                                    tick.reads.length == 1 + tick.plays &&
                                    tick.reads.channelState == 0;
            QVERIFY2(asDesigned, qPrintable(describe(ticks)));
            started += tick.plays;
        }
        QCOMPARE(started, uint64_t(advances ? 1 : 0));
    }
};

QTEST_MAIN(ProgressTickTest)
#include "ProgressTickTest.moc"
