// PrivateSessionBus: a session bus of the test's own. The constructor starts
// `dbus-daemon --session --nofork --print-address` and reads the address it listens on; the
// destructor ends that daemon by its PID. Nothing of the machine's own session bus is used.
#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>

class PrivateSessionBus
{
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    bool isRunning() const { return !busAddress.isEmpty(); }
    // What went wrong when the daemon did not start.
    QString error() const { return problem; }
    // The address to hand to clients, as DBUS_SESSION_BUS_ADDRESS.
    QString address() const { return busAddress; }
    // A new connection to this bus under `name` (closed again by the destructor).
    QDBusConnection connect(const QString& name);

private:
    QProcess daemon;
    QString busAddress;
    QString problem;
    QStringList connectionNames;
};
