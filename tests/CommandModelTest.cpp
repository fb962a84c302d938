// Random command sequences against a small reference model of the window's rules, compared after
// every step: rows, current row, selection, the paused flag and saved text, the status text, the
// timer, the seek slider and which track the player holds and in what state.
#include "MainWindowProbe.h"
#include "SoundPlayer.h"
#include "ToneFiles.h"

#include <QLabel>
#include <QListWidget>
#include <QRandomGenerator>
#include <QSlider>
#include <QTest>
#include <QTimer>

namespace
{

constexpr int fileCount = 4;
constexpr int maxRows = 8;
// Long enough that no track ends by itself while a sequence runs; seeks stay this far from the end.
const QList<double> seconds{30.0, 31.0, 32.5, 34.0};
constexpr int seekMargin = 10000;

// The rules as the user sees them, with the player reduced to what the window relies on.
struct Model {
    enum class Channel { None, Playing, Ended, Stopped };

    const QStringList* paths = nullptr;
    QList<int> rows; // file of each row
    int current = -1;
    int selected = -1;
    int paused = 0;
    QString pausedText;
    QString status;
    bool timerActive = false;
    int value = 0;
    int maximum = 99;
    Channel channel = Channel::None;
    bool channelPaused = false;
    int soundFile = -1;

    static int length(int file) { return ToneFiles::lengthMs(seconds[file]); }
    int soundLength() const { return soundFile < 0 ? 0 : length(soundFile); }
    int count() const { return int(rows.size()); }
    bool live() const { return channel == Channel::Playing || channel == Channel::Ended; }

    void setCurrent(int row) { current = (row >= 0 && row < count()) ? row : -1; }

    void playListItem()
    {
        const int target = (count() == current + 1) ? current : current + 1;
        selected = target;
        soundFile = rows[target];
        channel = Channel::Playing;
        channelPaused = false;
        maximum = soundLength();
        value = std::min(value, maximum);
        timerActive = true;
        status = QStringLiteral("Now playing: ") + paths->at(soundFile);
    }

    void togglePause()
    {
        if (paused == 0) {
            channelPaused = true;
            paused = 1;
        } else {
            channelPaused = false;
            paused = 0;
        }
    }

    void play()
    {
        if (count() > 0 && paused == 0) {
            playListItem();
        } else if (paused == 1) {
            status = pausedText;
            togglePause();
        }
    }

    void pause()
    {
        if (count() == 0 || selected < 0)
            return;
        if (paused == 0) {
            pausedText = status;
            status = QStringLiteral("Music is paused!");
        } else {
            status = pausedText;
        }
        togglePause();
    }

    void stop()
    {
        if (channel != Channel::None)
            channel = Channel::Stopped;
        status.clear();
    }

    void next()
    {
        if (count() == 0 || selected == count() - 1 || selected < 0)
            return;
        setCurrent(current + 1);
        playListItem();
    }

    void previous()
    {
        if (count() == 0 || selected == 0 || selected < 0)
            return;
        setCurrent(current - 1);
        playListItem();
    }

    // `position` is what the player read; the model only knows it exactly when nothing sounds.
    void tick(int position)
    {
        value = std::clamp(position, 0, maximum);
        if (position != soundLength())
            return;
        if (count() == current + 1) {
            value = 0;
            status.clear();
        } else {
            next();
        }
    }

    void moveSlider(int to)
    {
        if (to == value)
            return;
        value = to;
        if (selected >= 0)
            timerActive = false;
    }

    void releaseSlider()
    {
        if (selected >= 0) {
            if (live())
                channel = value == soundLength() ? Channel::Ended : Channel::Playing;
            timerActive = true;
        } else {
            value = 0;
        }
    }
};

} // namespace

class CommandModelTest : public QObject
{
    Q_OBJECT

    ToneFiles tones;
    QStringList paths;

    // Empty when the window matches the model, else what differs.
    static QString differences(const Model& model, MainWindowProbe& probe)
    {
        QStringList out;
        auto check = [&](const char* what, const auto& actual, const auto& expected) {
            MainWindowProbe::noteDifference(out, what, actual, expected);
        };
        QListWidget* list = probe.list();
        check("rows", list->count(), model.count());
        check("current row", list->currentRow(), model.current);
        const QList<int> selected = probe.selectedRows();
        check("selected row", selected.isEmpty() ? -1 : selected.first(), model.selected);
        check("selected rows", int(selected.size()), model.selected < 0 ? 0 : 1);
        check("paused", probe.paused(), model.paused);
        check("paused text", probe.pausedText(), model.pausedText);
        check("status", probe.status(), model.status);
        check("timer", probe.timer()->isActive(), model.timerActive);
        check("slider value", probe.seekBar()->value(), model.value);
        check("slider maximum", probe.seekBar()->maximum(), model.maximum);

        SoundPlayer& player = probe.player();
        check("track length", int(player.GetLength()), model.soundLength());
        const int position = int(player.GetPosition());
        switch (model.channel) {
        case Model::Channel::None:
        case Model::Channel::Stopped:
            check("position", position, 0);
            break;
        case Model::Channel::Ended:
            check("position", position, model.soundLength());
            break;
        case Model::Channel::Playing:
            if (position < 0 || position >= model.soundLength())
                out << QStringLiteral("position %1 outside a sounding track of %2 ms")
                           .arg(position)
                           .arg(model.soundLength());
            break;
        }
        return out.join(QStringLiteral("; "));
    }

    // One random sequence on a fresh window; false (with `failure` set) at the first difference.
    bool runSequence(QRandomGenerator& random, int steps, QString& failure)
    {
        MainWindowProbe probe;
        if (!probe.show()) {
            failure = QStringLiteral("window not exposed");
            return false;
        }
        // The test runs every tick itself; the timer's state is still compared.
        probe.timer()->blockSignals(true);
        SoundPlayer& player = probe.player();

        Model model;
        model.paths = &paths;
        QStringList log;
        for (int step = 0; step < steps; ++step) {
            const bool viaMenu = random.bounded(2) == 1;
            auto command = [&](const char* name) {
                log << QLatin1String(name) + (viaMenu ? QStringLiteral("(menu)") : QString());
                probe.command(name, viaMenu);
            };

            int choice = random.bounded(100);
            const bool canEnd = model.channel == Model::Channel::Playing && !model.channelPaused &&
                                model.selected >= 0;
            if (choice >= 96 && !canEnd)
                choice = random.bounded(96);

            if (choice < 8) {
                const int add = std::min(int(random.bounded(1, 4)), maxRows - model.count());
                for (int i = 0; i < add; ++i) {
                    const int file = random.bounded(fileCount);
                    probe.addRows({paths[file]});
                    model.rows << file;
                }
                log << QStringLiteral("add %1").arg(add);
            } else if (choice < 18) {
                if (model.count() == 0)
                    continue;
                const int row = random.bounded(model.count());
                log << QStringLiteral("click %1").arg(row);
                probe.clickRow(row);
                model.setCurrent(row);
                model.selected = row;
            } else if (choice < 30) {
                if (model.count() == 0)
                    continue;
                const int row = random.bounded(model.count());
                log << QStringLiteral("double-click %1").arg(row);
                probe.doubleClickRow(row);
                model.setCurrent(row);
                model.selected = row;
                model.playListItem();
            } else if (choice < 42) {
                command("Play");
                model.play();
            } else if (choice < 52) {
                command("Pause");
                model.pause();
            } else if (choice < 58) {
                command("Stop");
                model.stop();
            } else if (choice < 68) {
                command("Next");
                model.next();
            } else if (choice < 78) {
                command("Previous");
                model.previous();
            } else if (choice < 90) {
                log << QStringLiteral("tick");
                const int before =
                    model.channel == Model::Channel::Playing ? int(player.GetPosition()) : -1;
                probe.tick();
                int position = 0;
                if (model.channel == Model::Channel::Ended)
                    position = model.soundLength();
                else if (model.channel == Model::Channel::Playing)
                    position = probe.seekBar()->value(); // read by the tick itself
                if (model.channel == Model::Channel::Playing && position < before) {
                    failure = QStringLiteral("position went back from %1 to %2")
                                  .arg(before)
                                  .arg(position);
                    break;
                }
                model.tick(position);
            } else if (choice < 96) {
                const int top = model.live() ? model.maximum - seekMargin : model.maximum;
                const int to = random.bounded(std::max(top, 0) + 1);
                log << QStringLiteral("drag to %1").arg(to);
                probe.pressAndMoveSlider(to);
                model.moveSlider(to);
                probe.releaseSlider();
                model.releaseSlider();
            } else {
                log << QStringLiteral("to the end");
                model.moveSlider(model.maximum);
                model.releaseSlider();
                if (!probe.playToTheEnd()) {
                    failure = QStringLiteral("the track never reached its end");
                    break;
                }
            }

            const QString diff = differences(model, probe);
            if (!diff.isEmpty()) {
                failure = diff;
                break;
            }
        }
        if (!failure.isEmpty()) {
            failure += QStringLiteral("\n  after: ") + log.join(QStringLiteral(", "));
            return false;
        }

        // Whatever the model holds as sounding must be heard: its position moves on.
        if (model.channel == Model::Channel::Playing && !model.channelPaused && !probe.advances()) {
            failure = QStringLiteral("the track the model holds as sounding is silent\n  after: ") +
                      log.join(QStringLiteral(", "));
            return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tones.isValid());
        paths = tones.wavs(QStringLiteral("model"), seconds);
        QCOMPARE(paths.size(), seconds.size());
    }

    void shouldFollowTheCommandRulesForRandomSequences()
    {
        QRandomGenerator random(20261207);
        // A few hundred in everyday runs; the slow tier runs the long series (BRISNAK_SEQUENCES).
        const int sequences = qEnvironmentVariableIntValue("BRISNAK_SEQUENCES") > 0
                                  ? qEnvironmentVariableIntValue("BRISNAK_SEQUENCES")
                                  : 300;
        int totalSteps = 0;
        for (int sequence = 0; sequence < sequences; ++sequence) {
            const int steps = int(random.bounded(10, 40));
            QString failure;
            if (!runSequence(random, steps, failure))
                QFAIL(qPrintable(QStringLiteral("sequence %1: %2").arg(sequence).arg(failure)));
            totalSteps += steps;
        }
        qInfo("%d sequences, %d steps", sequences, totalSteps);
        QVERIFY(totalSteps >= 2000);
    }
};

QTEST_MAIN(CommandModelTest)
#include "CommandModelTest.moc"
