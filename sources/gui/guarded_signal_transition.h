#ifndef ORVI_GUARDED_SIGNAL_TRANSITION_H
#define ORVI_GUARDED_SIGNAL_TRANSITION_H

#include <QSignalTransition>

#include <functional>
#include <utility>

namespace OrviPlus {

// A signal transition that fires only while its guard holds, so that one signal can
// lead to different states depending on what it left behind.
class GuardedSignalTransition : public QSignalTransition
{
public:
    template<typename Func>
    GuardedSignalTransition(const typename QtPrivate::FunctionPointer<Func>::Object *sender, Func signal,
                            std::function<bool()> guard)
        : QSignalTransition(sender, signal)
        , m_guard(std::move(guard))
    {
    }

protected:
    bool eventTest(QEvent *event) override { return QSignalTransition::eventTest(event) && m_guard(); }

private:
    std::function<bool()> m_guard;
};

} // namespace OrviPlus

#endif // ORVI_GUARDED_SIGNAL_TRANSITION_H
