#include "PulseAddressScope.h"

#include <QtGlobal>

PulseAddressScope::PulseAddressScope(const QString& address)
    : had(qEnvironmentVariableIsSet("PULSE_SERVER")), old(qgetenv("PULSE_SERVER"))
{
    qputenv("PULSE_SERVER", address.toLocal8Bit());
}

PulseAddressScope::~PulseAddressScope()
{
    if (had)
        qputenv("PULSE_SERVER", old);
    else
        qunsetenv("PULSE_SERVER");
}
