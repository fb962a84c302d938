#include "CommandTable.h"

#include "MainWindowProbe.h"
#include "SoundPlayer.h"

#include <QDir>
#include <QHash>
#include <QListWidget>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <deque>

namespace
{

using Text = CommandTable::Text;
using enum CommandTable::Command;
using enum CommandTable::Sound;

constexpr Text blank{Text::Blank, -1};
constexpr Text musicPaused{Text::MusicPaused, -1};
constexpr Text now(int row)
{
    return {Text::NowPlaying, row};
}
constexpr Text cannot(int row)
{
    return {Text::CannotPlay, row};
}
constexpr int T = CommandTable::seekTarget;
constexpr int atEnd = CommandTable::atEnd;

// The worlds: the tones of their rows in seconds, 0 for a file that is gone.
const QList<QList<double>> worldRows{{30.0, 31.0, 32.0}, {}, {0.0, 30.0}};
const char* const worldStarts[] = {"Fresh", "Empty", "GoneFresh"};

// name, current row, selected row, status text, timer running, paused flag, track held, sound;
// then each command with the state it leads to ("=": this one), and where the row fixes them, the
// slider's value afterwards and the least position the player then reports.
// clang-format off
const QList<CommandTable::State> table{
    // Three rows.
    {"Fresh", -1, -1, blank, false, 0, -1, None,
     {{Play, "Playing0"}, {Pause, "="}, {Stop, "="}, {Next, "="}, {Previous, "="},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Click1, "Clicked1"}, {Press, "FreshHeld", 99}}},
    {"FreshHeld", -1, -1, blank, false, 0, -1, None, {{Release, "Fresh", 0}}},
    // A row clicked, nothing played yet.
    {"Clicked1", 1, 1, blank, false, 0, -1, None,
     {{Play, "Playing2"}, {Pause, "Clicked1Paused"}, {Stop, "="}, {Next, "Playing2Current"},
      {Previous, "Playing1"}, {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"},
      {DoubleClick2, "Playing2Current"}, {Click1, "="}, {Press, "Clicked1Held", 99}}},
    {"Clicked1Paused", 1, 1, musicPaused, false, 1, -1, None,
     {{Play, "Clicked1"}, {Pause, "Clicked1"}, {Click1, "="}}},
    {"Clicked1Held", 1, 1, blank, false, 0, -1, None, {{Release, "Clicked1Ticking", 99}}},
    // The first tick reads position 0 and length 0: the end of a track.
    {"Clicked1Ticking", 1, 1, blank, true, 0, -1, None,
     {{Play, "Playing2"}, {Stop, "="}, {Next, "Playing2Current"}, {Previous, "Playing1"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Click1, "="}, {Tick, "Playing2Current", 0}, {Press, "Clicked1Held", 99}}},
    // Playing: the current row trails the one that sounds, unless the last row is current. A value
    // the slider takes without its handle let go (the End key) is not sought.
    {"Playing0", -1, 0, now(0), true, 0, 0, Playing,
     {{Play, "="}, {Pause, "Paused0"}, {Stop, "Stopped0"}, {Next, "Playing1"}, {Previous, "="},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Click1, "Clicked1While0"}, {Tick, "="}, {End, "Ended0"}}},
    {"Playing1", 0, 1, now(1), true, 0, 1, Playing,
     {{Play, "="}, {Pause, "Paused1"}, {Stop, "Stopped1"}, {Next, "Playing2"},
      {Previous, "Playing0"}, {DoubleClick0, "="}, {DoubleClick1, "Playing2"},
      {DoubleClick2, "Playing2Current"}, {Tick, "="}, {End, "Ended1"},
      {Press, "Playing1Held", T}, {EndKey, "=", atEnd}}},
    {"Playing2", 1, 2, now(2), true, 0, 2, Playing,
     {{Play, "="}, {Pause, "Paused2"}, {Stop, "Stopped2"}, {Next, "="}, {Previous, "Playing1"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "="}, {DoubleClick2, "Playing2Current"},
      {Tick, "="}, {End, "Ended2"}}},
    {"Playing2Current", 2, 2, now(2), true, 0, 2, Playing,
     {{Play, "="}, {Stop, "Stopped2Current"}, {Next, "="}, {Previous, "Playing2"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "="}, {Tick, "="},
      {End, "Ended2Current"}}},
    {"Playing1Held", 0, 1, now(1), false, 0, 1, Playing, {{Release, "Playing1", T, T}}},
    {"Clicked1While0", 1, 1, now(0), true, 0, 0, Playing,
     {{Play, "Playing2"}, {Next, "Playing2Current"}, {Previous, "Playing1"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Click1, "="}, {Tick, "="}}},
    // Paused: the text shown before is saved for the resume.
    {"Paused0", -1, 0, musicPaused, true, 1, 0, Held,
     {{Play, "Playing0"}, {Pause, "Playing0"}, {Stop, "Paused0Stopped"}, {Next, "Paused0Next"},
      {Previous, "="}, {DoubleClick0, "Paused0Next"}, {Tick, "="}}},
    {"Paused1", 0, 1, musicPaused, true, 1, 1, Held,
     {{Play, "Playing1"}, {Pause, "Playing1"}, {Tick, "="}}},
    {"Paused2", 1, 2, musicPaused, true, 1, 2, Held,
     {{Play, "Playing2"}, {Pause, "Playing2"}, {Next, "="}, {Tick, "="}}},
    // Stopped: the tick keeps running and puts the slider back to 0.
    {"Stopped0", -1, 0, blank, true, 0, 0, Stopped,
     {{Play, "Playing0"}, {Stop, "="}, {Next, "Playing1"}, {Previous, "="},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "=", 0}}},
    {"Stopped1", 0, 1, blank, true, 0, 1, Stopped,
     {{Play, "Playing1"}, {Stop, "="}, {Next, "Playing2"}, {Previous, "Playing0"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "=", 0}}},
    {"Stopped2", 1, 2, blank, true, 0, 2, Stopped,
     {{Play, "Playing2"}, {Stop, "="}, {Next, "="}, {Previous, "Playing1"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "=", 0}}},
    {"Stopped2Current", 2, 2, blank, true, 0, 2, Stopped,
     {{Play, "Playing2Current"}, {Stop, "="}, {Next, "="}, {Previous, "Playing2"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "=", 0}}},
    // A track at its end: the next tick runs Next, or clears the display when the current row is
    // the last.
    {"Ended0", -1, 0, now(0), true, 0, 0, Ended,
     {{Play, "Playing0"}, {Stop, "Stopped0"}, {Next, "Playing1"}, {Previous, "="},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "Playing1"}}},
    {"Ended1", 0, 1, now(1), true, 0, 1, Ended,
     {{Play, "Playing1"}, {Stop, "Stopped1"}, {Next, "Playing2"}, {Previous, "Playing0"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "Playing2"}}},
    // The last row ended without being current: Next refuses, the slider stays at the end.
    {"Ended2", 1, 2, now(2), true, 0, 2, Ended,
     {{Play, "Playing2"}, {Stop, "Stopped2"}, {Next, "="}, {Previous, "Playing1"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "=", atEnd}}},
    {"Ended2Current", 2, 2, now(2), true, 0, 2, Ended,
     {{Play, "Playing2Current"}, {Stop, "Stopped2Current"}, {Next, "="}, {Previous, "Playing2"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "Ended2Cleared", 0}}},
    {"Ended2Cleared", 2, 2, blank, true, 0, 2, Ended,
     {{Play, "Playing2Current"}, {Stop, "Stopped2Current"}, {Next, "="}, {Previous, "Playing2"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "=", 0}}},
    // The paused flag outlives Stop and the start of another row: Play and Pause then take the
    // resume path, which shows the text saved at the pause and starts nothing.
    {"Paused0Stopped", -1, 0, blank, true, 1, 0, Stopped,
     {{Play, "Stopped0Text0"}, {Pause, "Stopped0Text0"}, {Stop, "="}, {Next, "Paused0Next"},
      {Previous, "="}, {DoubleClick0, "Paused0Next"}, {Tick, "=", 0}}},
    {"Stopped0Text0", -1, 0, now(0), true, 0, 0, Stopped,
     {{Play, "Playing0"}, {Stop, "Stopped0"}, {Next, "Playing1"}, {Previous, "="},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "="}}},
    {"Paused0Next", 0, 1, now(1), true, 1, 1, Playing,
     {{Play, "Playing1Text0"}, {Pause, "Playing1Text0"}, {DoubleClick0, "="}, {Tick, "="}}},
    {"Playing1Text0", 0, 1, now(0), true, 0, 1, Playing,
     {{Play, "Playing1"}, {Stop, "Stopped1"}, {Next, "Playing2"}, {Previous, "Playing0"},
      {DoubleClick0, "Playing1"}, {DoubleClick1, "Playing2"}, {DoubleClick2, "Playing2Current"},
      {Tick, "="}}},

    // No rows: nothing to play, pause or move to.
    {"Empty", -1, -1, blank, false, 0, -1, None,
     {{Play, "="}, {Pause, "="}, {Stop, "="}, {Next, "="}, {Previous, "="}}},

    // Row 0 a file that is gone, row 1 a tone: the engine opens nothing, so the first tick finds
    // the end of the track and moves on.
    {"GoneFresh", -1, -1, blank, false, 0, -1, None,
     {{Play, "CannotPlay0"}, {Pause, "="}, {Stop, "="}, {Next, "="}, {Previous, "="},
      {DoubleClick0, "GonePlaying1"}}},
    {"CannotPlay0", -1, 0, cannot(0), true, 0, 0, None,
     {{Play, "="}, {Next, "GonePlaying1"}, {Previous, "="}, {DoubleClick0, "GonePlaying1"},
      {Tick, "GonePlaying1", 0}}},
    {"GonePlaying1", 0, 1, now(1), true, 0, 1, Playing,
     {{Play, "="}, {Next, "="}, {Previous, "CannotPlay0"}, {DoubleClick0, "="}, {Tick, "="}}},
};
// clang-format on

const CommandTable::State* byName(const char* name)
{
    for (const CommandTable::State& state : table)
        if (qstrcmp(state.name, name) == 0)
            return &state;
    return nullptr;
}

} // namespace

CommandTable::CommandTable()
{
    if (!tones.isValid())
        return;
    for (qsizetype world = 0; world < worldRows.size(); ++world) {
        QStringList rows;
        QList<int> ms;
        for (qsizetype row = 0; row < worldRows[world].size(); ++row) {
            const double seconds = worldRows[world][row];
            const QString name = QStringLiteral("world%1row%2.wav").arg(world).arg(row);
            if (seconds == 0) {
                rows << QDir(tones.path()).filePath(name);
                ms << 0;
                continue;
            }
            rows << tones.wav(name, seconds);
            ms << ToneFiles::lengthMs(seconds);
            if (rows.last().isEmpty())
                return;
        }
        paths << rows;
        lengths << ms;
    }
    for (const State& state : table) {
        for (const Step& step : state.steps) {
            const State* to = qstrcmp(step.to, "=") == 0 ? &state : byName(step.to);
            if (!to)
                qFatal("CommandTable: %s leads to %s, which has no row", state.name, step.to);
            all.append({&state, step.command, to, step.value, step.position});
        }
    }
    // Breadth first from each world's start: every state's world, and the shortest way there.
    const QList<const State*> fresh = starts();
    for (qsizetype world = 0; world < fresh.size(); ++world) {
        worlds.insert(fresh[world], int(world));
        std::deque<const State*> queue{fresh[world]};
        while (!queue.empty()) {
            const State* at = queue.front();
            queue.pop_front();
            for (const Row* row : rowsFrom(at)) {
                if (!worlds.contains(row->to)) {
                    worlds.insert(row->to, int(world));
                    via.insert(row->to, row);
                    queue.push_back(row->to);
                }
            }
        }
    }
    for (const State& state : table)
        if (!worlds.contains(&state))
            qFatal("CommandTable: no row leads to %s", state.name);
    valid = true;
}

const char* CommandTable::commandName(Command command)
{
    static const char* const names[] = {
        "Play",         "Pause",  "Stop", "Next", "Previous", "DoubleClick0", "DoubleClick1",
        "DoubleClick2", "Click1", "Tick", "End",  "Press",    "Release",      "EndKey"};
    return names[command];
}

QList<const CommandTable::State*> CommandTable::starts() const
{
    QList<const State*> out;
    for (const char* name : worldStarts)
        out << byName(name);
    return out;
}

QList<const CommandTable::Row*> CommandTable::rowsFrom(const State* state) const
{
    QList<const Row*> out;
    for (const Row& row : all)
        if (row.from == state)
            out << &row;
    return out;
}

QList<const CommandTable::Row*> CommandTable::pathTo(const State* state) const
{
    QList<const Row*> path;
    for (const Row* row = via.value(state); row; row = via.value(row->from))
        path.prepend(row);
    return path;
}

bool CommandTable::open(MainWindowProbe& probe, const State* start, bool ticks) const
{
    if (!ticks)
        probe.timer()->blockSignals(true);
    return probe.show(paths.value(worlds.value(start)));
}

void CommandTable::run(MainWindowProbe& probe, Command command, bool viaMenu)
{
    switch (command) {
    case Play:
    case Pause:
    case Stop:
    case Next:
    case Previous:
        probe.command(commandName(command), viaMenu);
        break;
    case DoubleClick0:
    case DoubleClick1:
    case DoubleClick2:
        probe.doubleClickRow(command - DoubleClick0);
        break;
    case Click1:
        probe.clickRow(1);
        break;
    case Tick:
        probe.tick();
        break;
    case End:
        probe.playToTheEnd();
        break;
    case Press:
        probe.pressAndMoveSlider(seekTarget);
        break;
    case Release:
        probe.releaseSlider();
        break;
    case EndKey:
        QTest::keyClick(probe.seekBar(), Qt::Key_End);
        break;
    case CommandCount:
        break;
    }
}

QString CommandTable::path(const State* state, int row) const
{
    return paths.value(worlds.value(state)).value(row);
}

int CommandTable::length(const State* state, int row) const
{
    return lengths.value(worlds.value(state)).value(row);
}

const CommandTable::State* CommandTable::state(const char* name)
{
    return byName(name);
}

const QList<CommandTable::State>& CommandTable::states()
{
    return table;
}

QString CommandTable::statusText(const State* state, Text text) const
{
    const QString path = this->path(state, text.row);
    switch (text.kind) {
    case Text::Blank:
        break;
    case Text::NowPlaying:
        return QStringLiteral("Now playing: ") + path;
    case Text::MusicPaused:
        return QStringLiteral("Music is paused!");
    case Text::CannotPlay:
        return QStringLiteral("Cannot play: ") + path;
    }
    return QString();
}

QString CommandTable::differences(MainWindowProbe& probe, const State* state) const
{
    QStringList out;
    auto check = [&](const char* what, const auto& actual, const auto& expected) {
        if (!(actual == expected))
            out << QStringLiteral("%1: window %2, table %3")
                       .arg(QLatin1String(what), QVariant::fromValue(actual).toString(),
                            QVariant::fromValue(expected).toString());
    };
    check("current row", probe.list()->currentRow(), state->current);
    const QList<int> selected = probe.selectedRows();
    check("selected row", selected.size() == 1 ? selected.first() : -1, state->selected);
    check("selected rows", int(selected.size()), state->selected < 0 ? 0 : 1);
    check("status", probe.status(), statusText(state, state->status));
    check("timer", probe.timer()->isActive(), state->ticking);
    check("paused flag", probe.paused(), state->paused);

    // The track the player holds, as the slider's maximum tells, and what the player does with it.
    const int length = state->track < 0 ? 0 : this->length(state, state->track);
    check("slider maximum", probe.seekBar()->maximum(), state->track < 0 ? 99 : length);
    SoundPlayer& player = probe.player();
    check("track length", int(player.GetLength()), state->sound == None ? 0 : length);
    const int position = int(player.GetPosition());
    const bool live = player.IsChannelLive();
    switch (state->sound) {
    case None:
    case Stopped:
        check("channel live", live, false);
        check("position", position, 0);
        break;
    case Playing:
    case Held:
        check("channel live", live, true);
        check("channel held", player.IsChannelPaused(), state->sound == Held);
        if (position >= length)
            out << QStringLiteral("position %1 past the end of a %2 ms track")
                       .arg(position)
                       .arg(length);
        break;
    case Ended:
        check("channel live", live, true);
        check("position", position, length);
        break;
    }
    return out.join(QStringLiteral("; "));
}

QString CommandTable::differences(MainWindowProbe& probe, const Row& row) const
{
    QString out = differences(probe, row.to);
    const int value = row.value == atEnd ? probe.seekBar()->maximum() : row.value;
    if (row.value != -1 && probe.seekBar()->value() != value)
        out += QStringLiteral("; slider value: window %1, table %2")
                   .arg(probe.seekBar()->value())
                   .arg(value);
    SoundPlayer& player = probe.player();
    if (row.position >= 0 &&
        !QTest::qWaitFor([&] { return player.GetPosition() >= uint32_t(row.position); }, 2000))
        out += QStringLiteral("; position %1, table at least %2")
                   .arg(player.GetPosition())
                   .arg(row.position);
    return out;
}
