#include "platform/sleep_preventer_mac.h"

#ifdef Q_OS_MACOS

namespace OrviPlus {

const CFStringRef SleepPreventerMac::m_reason = CFSTR("Brevanto Orvi Update in Progress");

void SleepPreventerMac::setSleepPrevented(bool prevented)
{
    const bool active = isSleepPrevented();
    if (prevented && !active) {
        if (IOPMAssertionCreateWithName(kIOPMAssertionTypeNoIdleSleep, kIOPMAssertionLevelOn,
                                        m_reason, &m_assertionId)
            == kIOReturnSuccess)
            m_active = true;
    } else if (!prevented && active) {
        if (IOPMAssertionRelease(m_assertionId) == kIOReturnSuccess)
            m_active = false;
    }
}

bool SleepPreventerMac::isSleepPrevented() const
{
    return m_active;
}

} // namespace OrviPlus

#endif // Q_OS_MACOS
