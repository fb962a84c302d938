// The servers of a desktop session, started privately for the whole-player benchmarks with the
// tests' own helpers (tests/support): a PulseAudio server whose one sink is a null sink, or a
// D-Bus session bus. Prints what a client needs, one "NAME=value" line each, then "ready"; ends
// the server once its standard input closes (or when it dies itself).
//
//     bench_session_servers sound RATE   PULSE_SERVER=..., MONITOR=<the sink's monitor source>
//     bench_session_servers bus          DBUS_SESSION_BUS_ADDRESS=...
//
// Started and read by bench/whole_player.py.
#include "PrivateSessionBus.h"
#include "SoundServer.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace
{

void waitForTheEnd()
{
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "sound") == 0) {
        // 16-bit samples at the sink, as PulseAudio's default configuration has it.
        SoundServer server(SoundServer::Kind::PulseAudio, std::atoi(argv[2]), false);
        if (!server.start()) {
            std::fprintf(stderr, "%s\n", qPrintable(server.failure()));
            return 1;
        }
        std::printf("PULSE_SERVER=%s\nMONITOR=%s\n", qPrintable(server.address()),
                    qPrintable(SoundServer::monitorSource()));
        waitForTheEnd();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "bus") == 0) {
        PrivateSessionBus bus;
        if (!bus.isRunning()) {
            std::fprintf(stderr, "%s\n", qPrintable(bus.error()));
            return 1;
        }
        std::printf("DBUS_SESSION_BUS_ADDRESS=%s\n", qPrintable(bus.address()));
        waitForTheEnd();
        return 0;
    }
    std::fprintf(stderr, "usage: %s sound RATE | bus\n", argv[0]);
    return 2;
}
