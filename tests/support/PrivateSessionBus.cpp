#include "PrivateSessionBus.h"

#include "ProcessEnd.h"

#include <QDeadlineTimer>

PrivateSessionBus::PrivateSessionBus()
{
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!daemon.waitForStarted(10000)) {
        problem = QStringLiteral("dbus-daemon did not start: ") + daemon.errorString();
        return;
    }
    const QDeadlineTimer deadline(10000);
    while (!daemon.canReadLine() && !deadline.hasExpired() && daemon.state() == QProcess::Running)
        daemon.waitForReadyRead(int(deadline.remainingTime()));
    if (!daemon.canReadLine()) {
        problem = QStringLiteral("dbus-daemon printed no address: ") +
                  QString::fromLocal8Bit(daemon.readAllStandardError());
        return;
    }
    busAddress = QString::fromLocal8Bit(daemon.readLine()).trimmed();
}

PrivateSessionBus::~PrivateSessionBus()
{
    for (const QString& name : std::as_const(connectionNames))
        QDBusConnection::disconnectFromBus(name);
    ProcessEnd::end(daemon);
}

QDBusConnection PrivateSessionBus::connect(const QString& name)
{
    connectionNames << name;
    return QDBusConnection::connectToBus(busAddress, name);
}
