// Ends a process a test started (a sound server, a bus daemon, a recorder, the program itself).
//
// Threads: the thread that owns the QProcess.
#pragma once

class QProcess;

class ProcessEnd
{
public:
    // SIGTERM, so that it can close its files (parec finishes its WAV header), then SIGKILL if it
    // is still there after `waitMs`. Nothing when it does not run.
    static void end(QProcess& process, int waitMs = 5000);
    // SIGKILL at once, as if it had crashed.
    static void kill(QProcess& process, int waitMs = 5000);
};
