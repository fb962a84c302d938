// CommandTable: the window's command rules as one table of command x starting state. Each named
// state of the window gives what can be seen of it (current row, selected row, status text, whether
// the progress timer runs, the `paused` flag, the row whose track the player holds, read from the
// seek slider's maximum, and what the player does with it) and, for each of its commands, the
// named state that the command leads to.
//
// A state belongs to one world, the rows the window holds: three tones of distinct lengths, no rows
// at all, or a file that is gone followed by a tone. Each world starts in a fresh window. A command
// the table leaves out of a state cannot come there (a tick while the timer is idle, a release
// with no handle pressed) or leads to a state it does not name (for example a row started while
// the text of an earlier row is saved for the resume); every rule of the window is in the rows it
// has.
//
// The progress tick is a command here (the timer's own ticks are held back while the table drives
// the window), and so is "End", the sounding track playing to its end.
//
// What the window shows beyond these columns goes in as a new member at the end of State, with a
// default for the states that do not fix it, checked by differences(); a new command is a new
// Command and rows for it.
//
// Threads: GUI (test) thread only.
#pragma once

#include "ToneFiles.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class MainWindowProbe;

class CommandTable
{
public:
    enum Command {
        Play,
        Pause,
        Stop,
        Next,
        Previous,
        DoubleClick0,
        DoubleClick1,
        DoubleClick2,
        Click1,
        Tick,
        End,
        // Presses the seek slider's handle and moves it to seekTarget (or as far as it goes).
        Press,
        // Lets go of the handle.
        Release,
        // The End key on the slider: the handle to the maximum, not pressed.
        EndKey,
        CommandCount
    };
    static constexpr int seekTarget = 10000;

    // What the player does with the track it holds.
    enum class Sound { None, Playing, Held, Stopped, Ended };
    // The status text: empty, "Now playing: " or "Cannot play: " with a row's path, or the text
    // shown while paused.
    struct Text {
        enum Kind { Blank, NowPlaying, MusicPaused, CannotPlay } kind = Blank;
        int row = -1;
    };
    // A command and the state it leads to: a name, or "=" for the state it is given in. Where the
    // row fixes them, the seek slider's value afterwards (atEnd: the track's length) and the least
    // position the player reports afterwards.
    struct Step {
        Command command;
        const char* to;
        int value = -1;
        int position = -1;
    };
    static constexpr int atEnd = -2;
    struct State {
        const char* name;
        int current;
        int selected;
        Text status;
        bool ticking;
        int paused;
        // The row whose track the player holds; -1 before any.
        int track;
        Sound sound;
        // The commands in the table for this state.
        QList<Step> steps;
    };
    // One row of the table: command x starting state.
    struct Row {
        const State* from;
        Command command;
        const State* to;
        int value = -1;
        int position = -1;
    };

    // Writes the tones the worlds play.
    CommandTable();
    bool isValid() const { return valid; }

    static const char* commandName(Command command);
    static bool isTransport(Command command) { return command <= Previous; }

    const QList<Row>& rows() const { return all; }
    // The fresh windows the worlds start from.
    QList<const State*> starts() const;
    // The rows from `state`'s world's start that lead to `state`.
    QList<const Row*> pathTo(const State* state) const;
    QList<const Row*> rowsFrom(const State* state) const;

    // Shows the fresh window of `start`'s world on `probe`; false when it was not exposed. The
    // timer's ticks are held back unless `ticks` is set.
    bool open(MainWindowProbe& probe, const State* start, bool ticks = false) const;
    // Gives `command`; a transport command through its Playback menu entry when `viaMenu` is set,
    // otherwise through its button.
    static void run(MainWindowProbe& probe, Command command, bool viaMenu);
    // Empty when the window shows `state`, else what differs.
    QString differences(MainWindowProbe& probe, const State* state) const;
    // Empty when the window shows what `row` leads to.
    QString differences(MainWindowProbe& probe, const Row& row) const;
    // The status text `text` stands for in `state`'s world.
    QString statusText(const State* state, Text text) const;
    // The path of `row` in `state`'s world, and the length the player reports for it.
    QString path(const State* state, int row) const;
    int length(const State* state, int row) const;
    static const State* state(const char* name);
    static const QList<State>& states();

private:
    ToneFiles tones;
    // The rows' paths of each world, and the lengths the player reports for them.
    QList<QStringList> paths;
    QList<QList<int>> lengths;
    QList<Row> all;
    // Each state's world and the row that first reaches it from the world's start.
    QHash<const State*, int> worlds;
    QHash<const State*, const Row*> via;
    bool valid = false;
};
