// The window's command rules (support/CommandTable.h) on the real window and player: every row of
// the table with the transport commands given through the buttons and again through the Playback
// menu, a random walk over the table, and the progress timer moving on by itself at the end of a
// track.
#include "CommandTable.h"
#include "MainWindowProbe.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QListWidget>
#include <QRandomGenerator>
#include <QSet>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>

class CommandTableTest : public QObject
{
    Q_OBJECT

    CommandTable table;

    // A window on `row`'s starting state, reached through the table from its world's start.
    // Empty when every step, the row's own last, leaves the window as the table says.
    QString follow(const CommandTable::Row& row, bool viaMenu)
    {
        const QList<const CommandTable::Row*> path = table.pathTo(row.from) << &row;
        MainWindowProbe probe;
        if (!table.open(probe, path.first()->from))
            return QStringLiteral("window not exposed");
        for (const CommandTable::Row* step : path) {
            CommandTable::run(probe, step->command, viaMenu);
            const QString diff = table.differences(probe, *step);
            if (!diff.isEmpty())
                return QStringLiteral("%1, %2: %3")
                    .arg(QLatin1String(step->from->name),
                         QLatin1String(CommandTable::commandName(step->command)), diff);
        }
        return QString();
    }

    // The rows from `state` to the nearest row not in `walked`, that row last; empty when every
    // row that can be reached from `state` was walked.
    QList<const CommandTable::Row*> towardsUnwalked(const CommandTable::State* state,
                                                    const QSet<const CommandTable::Row*>& walked)
    {
        QHash<const CommandTable::State*, QList<const CommandTable::Row*>> ways{{state, {}}};
        QList<const CommandTable::State*> queue{state};
        for (qsizetype i = 0; i < queue.size(); ++i) {
            for (const CommandTable::Row* row : table.rowsFrom(queue[i])) {
                const QList<const CommandTable::Row*> way = ways.value(queue[i]) << row;
                if (!walked.contains(row))
                    return way;
                if (!ways.contains(row->to)) {
                    ways.insert(row->to, way);
                    queue << row->to;
                }
            }
        }
        return {};
    }

private slots:
    void initTestCase() { QVERIFY(table.isValid()); }

    void shouldFollowEveryRow_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("viaMenu");
        const QList<CommandTable::Row>& rows = table.rows();
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const char* from = rows[i].from->name;
            const char* command = CommandTable::commandName(rows[i].command);
            QTest::addRow("%s, %s", from, command) << int(i) << false;
            if (CommandTable::isTransport(rows[i].command))
                QTest::addRow("%s, %s from the menu", from, command) << int(i) << true;
        }
    }

    void shouldFollowEveryRow()
    {
        QFETCH(int, row);
        QFETCH(bool, viaMenu);
        const QString diff = follow(table.rows().at(row), viaMenu);
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

    // Random commands from the table's rows on fresh windows of every world, each step checked
    // against the table. Half the steps head for the nearest row not walked yet, so that every
    // row is walked.
    void shouldHoldOnARandomWalk()
    {
        QRandomGenerator random(20261207);
        const int steps = qEnvironmentVariableIntValue("BRISNAK_WALK_STEPS") > 0
                              ? qEnvironmentVariableIntValue("BRISNAK_WALK_STEPS")
                              : 3000;
        const QList<const CommandTable::State*> starts = table.starts();
        QSet<const CommandTable::Row*> walked;
        int taken = 0;
        for (int window = 0; taken < steps; ++window) {
            MainWindowProbe probe;
            // Mostly the three rows; the other worlds now and then.
            const CommandTable::State* state = starts[QList<int>{0, 0, 0, 0, 1, 2}[window % 6]];
            QVERIFY(table.open(probe, state));
            QStringList log{QLatin1String(state->name)};
            for (int length = random.bounded(10, 40); length > 0 && taken < steps; --length) {
                const QList<const CommandTable::Row*> rows = table.rowsFrom(state);
                const CommandTable::Row* row = rows[random.bounded(int(rows.size()))];
                if (random.bounded(2) == 0)
                    row = towardsUnwalked(state, walked).value(0, row);
                const bool viaMenu = random.bounded(2) == 1;
                log << QLatin1String(CommandTable::commandName(row->command)) +
                           QLatin1String(
                               viaMenu && CommandTable::isTransport(row->command) ? " (menu)" : "");
                CommandTable::run(probe, row->command, viaMenu);
                const QString diff = table.differences(probe, *row);
                QVERIFY2(diff.isEmpty(),
                         qPrintable(diff + QStringLiteral("\n  after: ") + log.join(", ")));
                walked.insert(row);
                ++taken;
                state = row->to;
            }
            // What the table holds as sounding is heard: its position moves on.
            if (state->sound == CommandTable::Sound::Playing)
                QVERIFY2(probe.advances(), qPrintable(log.join(", ")));
        }
        qInfo("%d steps", taken);
        QCOMPARE(walked.size(), table.rows().size());
    }

    // The timer's own ticks: row 0 ends and the tick starts the row below; that row, the last
    // but not current, then holds at its end under its own name.
    void shouldMoveOnByItselfWhenATrackEnds()
    {
        ToneFiles tones;
        const QStringList paths = tones.wavs(QStringLiteral("road"), {1.0, 1.0});
        QCOMPARE(paths.size(), 2);
        MainWindowProbe probe;
        QVERIFY(probe.show(paths));
        probe.click("playButton");
        SoundPlayer& player = probe.player();
        QTRY_VERIFY_WITH_TIMEOUT(probe.selectedRows() == QList<int>{1} &&
                                     player.GetPosition() == player.GetLength(),
                                 6000);
        QSignalSpy ticks(probe.timer(), &QTimer::timeout);
        QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 2, 3000);
        QCOMPARE(probe.seekBar()->value(), 1000);
        QCOMPARE(probe.status(), MainWindowProbe::nowPlaying(paths[1]));
        QCOMPARE(probe.list()->currentRow(), 0);
    }
};

QTEST_MAIN(CommandTableTest)
#include "CommandTableTest.moc"
