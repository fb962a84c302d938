// RealPlayer: the real brisnak program, run by a test as a child process and ended by its PID,
// with its playlist filled through its own Add files command by the driver plugin (its command
// "fill", support/ProgramDriver.h); and Debian's playerctl, which drives it over the session bus
// as a desktop user would.
//
// Threads: GUI (test) thread only.
#pragma once

#ifndef BRISNAK_PROGRAM
#error "BRISNAK_PROGRAM must name the brisnak executable"
#endif
#ifndef BRISNAK_TEST_PLUGINS
#error "BRISNAK_TEST_PLUGINS must name the folder that holds generic/"
#endif

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class RealPlayer
{
public:
    // `program` is the brisnak executable; `plugins` the folder that holds generic/ with the
    // driver plugin.
    RealPlayer(const QString& program, const QString& plugins);
    // Ends the program if it still runs.
    ~RealPlayer();
    RealPlayer(const RealPlayer&) = delete;
    RealPlayer& operator=(const RealPlayer&) = delete;

    // Starts the program in `environment` with the driver filling its playlist with the paths
    // listed in `playlist` (one a line), and waits until the driver reports `rows` rows in the
    // playlist. False when it does not; failure() says what happened.
    bool start(QProcessEnvironment environment, const QString& playlist, qsizetype rows);
    QProcess& process() { return program; }
    // SIGTERM to its PID, then SIGKILL if it has not ended within 10 s.
    void end();
    QString failure() const { return why; }

    // playerctl's output with `arguments` in `environment`, trimmed; "exit N: <stderr>" when it
    // fails, "timed out" when it does not answer within 10 s.
    static QString playerctl(const QProcessEnvironment& environment, const QStringList& arguments);

private:
    const QString executable;
    const QString pluginFolder;
    QProcess program;
    QString why;
};
