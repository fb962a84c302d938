#include "TerminationSignals.h"

#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

int TerminationSignals::writeEnd = -1;

void TerminationSignals::closeOnSignals(QObject& parent)
{
    int ends[2];
    if (writeEnd >= 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
        return;
    writeEnd = ends[1];
    new TerminationSignals(parent, ends[0]);
    struct sigaction action {
    };
    action.sa_handler = &TerminationSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

TerminationSignals::TerminationSignals(QObject& parent, int readEnd)
    : QObject(&parent), notifier(new QSocketNotifier(readEnd, QSocketNotifier::Read, this))
{
    connect(notifier, &QSocketNotifier::activated, this, [readEnd] {
        char bytes[16];
        while (::read(readEnd, bytes, sizeof bytes) > 0)
            ;
        // Every window, a dialog open over the main one too, then the event loop.
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    });
}

void TerminationSignals::handle(int)
{
    // Only what is safe in a signal handler: one write, errno as it was.
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = saved;
}
