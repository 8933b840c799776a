#ifndef ORVI_SLEEP_PREVENTER_LINUX_H
#define ORVI_SLEEP_PREVENTER_LINUX_H

#include "platform/sleep_preventer.h"

#include <QDBusUnixFileDescriptor>

namespace OrviPlus {

// Takes a systemd-logind inhibitor lock on the system bus against sleep, idle,
// the lid switch and shutdown. logind holds the inhibition for as long as the
// descriptor it hands out stays open, so closing our copy (also on destruction)
// releases it.
class SleepPreventerLinux : public SleepPreventer
{
public:
    void setSleepPrevented(bool prevented) override;
    bool isSleepPrevented() const override;

private:
    QDBusUnixFileDescriptor m_inhibitor;
};

} // namespace OrviPlus

#endif // ORVI_SLEEP_PREVENTER_LINUX_H
