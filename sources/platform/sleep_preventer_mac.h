#ifndef ORVI_SLEEP_PREVENTER_MAC_H
#define ORVI_SLEEP_PREVENTER_MAC_H

#include <QtGlobal>

#ifdef Q_OS_MACOS

#include "platform/sleep_preventer.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

namespace OrviPlus {

// Holds an IOKit power assertion against idle sleep. A held assertion is not
// released by the destructor; the system drops it when the process ends.
class SleepPreventerMac : public SleepPreventer
{
public:
    void setSleepPrevented(bool prevented) override;
    bool isSleepPrevented() const override;

private:
    bool m_active = false;
    IOPMAssertionID m_assertionId = 0;
    static const CFStringRef m_reason;
};

} // namespace OrviPlus

#endif // Q_OS_MACOS

#endif // ORVI_SLEEP_PREVENTER_MAC_H
