// TerminationSignals: SIGTERM, SIGINT and SIGHUP (the desktop session ending, Ctrl+C, the terminal
// going away) end the program as closing its window does: the event loop ends, the window and the
// media controls are destroyed (their cover picture removed with them) and the exit status is 0.
// The handler only writes a byte into a socket; a notifier on the other end quits from the event
// loop.
//
// Threads: closeOnSignals() on the GUI thread, once; the handler runs on whichever thread a signal
// lands.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject
{
public:
    static void closeOnSignals(QObject& parent);

private:
    TerminationSignals(QObject& parent, int readEnd);
    static void handle(int signal);

    static int writeEnd;
    QSocketNotifier* notifier = nullptr;
};
