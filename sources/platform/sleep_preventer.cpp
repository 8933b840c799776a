#include "platform/sleep_preventer.h"

#include <QtGlobal>

#if defined(Q_OS_MACOS)
#include "platform/sleep_preventer_mac.h"
#elif defined(Q_OS_LINUX)
#include "platform/sleep_preventer_linux.h"
#endif

namespace OrviPlus {

#if !defined(Q_OS_MACOS) && !defined(Q_OS_LINUX)
namespace {

// Platforms without a way to hold the computer awake: the update still runs,
// and the caller logs that sleep could not be disabled.
class SleepPreventerUnsupported : public SleepPreventer
{
public:
    void setSleepPrevented(bool) override {}
    bool isSleepPrevented() const override { return false; }
};

} // namespace
#endif

SleepPreventer *SleepPreventer::make()
{
#if defined(Q_OS_MACOS)
    return new SleepPreventerMac;
#elif defined(Q_OS_LINUX)
    return new SleepPreventerLinux;
#else
    return new SleepPreventerUnsupported;
#endif
}

} // namespace OrviPlus
