// Tells ThreadSanitizer how Qt hands work from one thread to another.
//
// Qt is not built with the sanitizer, so the locks inside it are invisible to the checker and
// every posted event, queued signal or finished thread looks like an unsynchronised hand-over.
// This file, linked into the device tests of sanitizer builds only, marks both ends of each:
// - a posted event is released by the poster and acquired just before delivery;
// - a signal releases its sender, and a queued call acquires its sender before delivery;
// - QThread::wait returns only after the finished thread's last act, which releases.
// Nothing else is hidden: our own shared data still needs its own locking.
#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QtCore/private/qobject_p.h>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

#include <map>
#include <mutex>

namespace {

template <typename Function>
Function qtFunction(const char* mangledName)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, mangledName));
}

// Threads that delivered events, and whether they have run their last thread-exit code.
std::mutex threadsMutex;
std::map<QThread*, bool> threadsExited;

struct ThreadExitMarker {
    QThread* thread = QThread::currentThread();

    ThreadExitMarker()
    {
        std::lock_guard<std::mutex> lock(threadsMutex);
        threadsExited[thread] = false;
    }

    // Runs when the system thread ends, after Qt has let QThread::wait return.
    ~ThreadExitMarker()
    {
        std::lock_guard<std::mutex> lock(threadsMutex);
        threadsExited[thread] = true;
    }
};

bool acquireBeforeDelivery(void** data)
{
    thread_local ThreadExitMarker marker;
    auto* event = static_cast<QEvent*>(data[1]);
    __tsan_acquire(event);
    if (event->type() == QEvent::MetaCall)
        __tsan_acquire(const_cast<QObject*>(static_cast<QAbstractMetaCallEvent*>(event)->sender()));
    return false; // deliver as usual
}

// Released at the start and again at the end of an emission: the end also covers the
// argument copies that Qt makes for queued calls.
void releaseSignalSender(QObject* sender, int, void**)
{
    __tsan_release(sender);
}

void releaseSignalSenderAfter(QObject* sender, int)
{
    __tsan_release(sender);
}

QSignalSpyCallbackSet signalCallbacks = {releaseSignalSender, nullptr, releaseSignalSenderAfter, nullptr};

const bool registered = [] {
    QInternal::registerCallback(QInternal::EventNotifyCallback, acquireBeforeDelivery);
    qt_register_signal_spy_callbacks(&signalCallbacks);
    return true;
}();

} // namespace

// The two replacements below serve every call made from this program; Qt's calls to itself
// still go to Qt's own.

void QCoreApplication::postEvent(QObject* receiver, QEvent* event, int priority)
{
    using PostEvent = void (*)(QObject*, QEvent*, int);
    static const auto qtPostEvent = qtFunction<PostEvent>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    __tsan_release(event);
    qtPostEvent(receiver, event, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    using Wait = bool (*)(QThread*, QDeadlineTimer);
    static const auto qtWait = qtFunction<Wait>("_ZN7QThread4waitE14QDeadlineTimer");
    if (!qtWait(this, deadline))
        return false;
    // Qt may answer from a flag of its own without touching a lock the checker can see, so
    // wait for the thread's exit marker, whose lock the checker does see.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(threadsMutex);
            const auto entry = threadsExited.find(this);
            if (entry == threadsExited.end())
                return true;
            if (entry->second) {
                threadsExited.erase(entry);
                return true;
            }
        }
        QThread::usleep(200);
    }
}
