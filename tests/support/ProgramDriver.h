// ProgramDriver: drives the program it is loaded into (by DriverPlugin) for the tests of the real
// program and the whole-player benchmarks, through the main window's own commands, as a user
// would: files go in through
// File > Add files (the dialog answered by FileDialogAnswer), the buttons' slots are pressed and
// the seek bar is dragged. Times go to stdout as "name nanoseconds [detail]" lines (DriverClock.h).
// The driver knows the window only by its object names and slot names, so the program runs
// exactly as it is built.
//
// Commands (the command file's lines, first the name, then one argument a line):
//     startup                   note the first paint of the main window, then end the process
//     play FILE                 Play, then keep playing until killed
//     pause FILE                Play, Pause one second later, then stay paused until killed
//     stop FILE                 Play, Stop one second later, then stay stopped until killed
//     clicks N GAP FILE...      N times: Play, 1.5 s, Stop, GAP ms; with several files, each Play
//                               starts the next file of the playlist in turn; then quit
//     pauses N FILE             Play; N times: 1.5 s, Pause, 0.7 s, Play (resumes); then quit
//     seeks FILE MS...          Play; for each position: 1.5 s, drag the seek bar there; then quit
//     add LIST                  add every path of the file LIST (one a line) at once; then quit
//     fill LIST                 add every path of LIST, print "rows N" (the playlist's row
//                               count), then keep running until killed
//
// Threads: GUI thread only.
#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <functional>

class QMainWindow;
class QListWidget;
class QSlider;

class ProgramDriver : public QObject
{
public:
    explicit ProgramDriver(QStringList command, QObject* parent = nullptr);

    // The lines of the text file at `path` that are not blank, trimmed; false when it cannot be
    // read.
    static bool readLines(const QString& path, QStringList& lines);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void run();
    void playAndHold();
    void clicks();
    void pauses();
    void seeks();
    // The paths of the file LIST, the command's one argument.
    QStringList listedPaths(const char* usage) const;
    int addMany();
    void fill();

    // File > Add files, answered with `paths`. Returns when the command has returned, with the
    // time the dialog closed.
    int64_t addFiles(const QStringList& paths);
    void press(const char* slot);
    // Makes the Play command start row `row` of the playlist (it starts the row below the
    // current one, or the current one when it is the last).
    void aimPlayAt(int row);
    void seekTo(int milliseconds);

    // Steps run one after the other, each `delayMs` after the one before.
    void then(int delayMs, std::function<void()> step);
    void runSteps();
    void finish();

    QStringList command;
    QMainWindow* window = nullptr;
    QListWidget* list = nullptr;
    QSlider* seekBar = nullptr;
    bool painted = false;
    bool stepDue = false;
    std::deque<std::pair<int, std::function<void()>>> steps;
};
