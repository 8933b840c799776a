#ifndef ORVI_SLEEP_PREVENTER_H
#define ORVI_SLEEP_PREVENTER_H

namespace OrviPlus {

// Keeps the computer awake while an update runs: from idle sleep everywhere, and on
// Linux also from sleep, the lid switch and shutdown.
class SleepPreventer
{
public:
    virtual ~SleepPreventer() = default;

    // Asks for idle sleep to be prevented (true) or allowed again (false);
    // read isSleepPrevented() afterwards for the outcome.
    virtual void setSleepPrevented(bool prevented) = 0;
    virtual bool isSleepPrevented() const = 0;

    // The implementation for the platform we run on; the caller owns it.
    static SleepPreventer *make();
};

} // namespace OrviPlus

#endif // ORVI_SLEEP_PREVENTER_H
