// Points PULSE_SERVER at a given address for the players created while it lives, then puts the
// old value back.
//
// Threads: GUI (test) thread only.
#pragma once

#include <QByteArray>
#include <QString>

class PulseAddressScope
{
public:
    explicit PulseAddressScope(const QString& address);
    ~PulseAddressScope();
    PulseAddressScope(const PulseAddressScope&) = delete;
    PulseAddressScope& operator=(const PulseAddressScope&) = delete;

private:
    bool had;
    QByteArray old;
};
