// Tells ThreadSanitizer how the uninstrumented Qt hands work between threads: posted events, signals
// and queued calls are released by their sender and acquired on delivery; QThread::wait waits for the end.
#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QtCore/private/qobject_p.h>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

#include <map>
#include <mutex>

namespace {

// Threads that delivered events, and whether their system thread has ended.
std::mutex threadsMutex;
std::map<QThread*, bool> threadsExited;

struct ThreadExitMarker {
    QThread* thread = QThread::currentThread();
    ThreadExitMarker() { mark(false); }
    ~ThreadExitMarker() { mark(true); } // runs after Qt has let QThread::wait return
    void mark(bool exited)
    {
        std::lock_guard<std::mutex> lock(threadsMutex);
        threadsExited[thread] = exited;
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

// Released at the start and again at the end of an emission, which covers queued argument copies.
QSignalSpyCallbackSet signalCallbacks = {[](QObject* sender, int, void**) { __tsan_release(sender); }, nullptr,
                                         [](QObject* sender, int) { __tsan_release(sender); }, nullptr};

const bool registered = [] {
    QInternal::registerCallback(QInternal::EventNotifyCallback, acquireBeforeDelivery);
    qt_register_signal_spy_callbacks(&signalCallbacks);
    return true;
}();

} // namespace

// These replace Qt's own for the calls this program makes; Qt's calls to itself are unchanged.
void QCoreApplication::postEvent(QObject* receiver, QEvent* event, int priority)
{
    static const auto qtPostEvent = reinterpret_cast<void (*)(QObject*, QEvent*, int)>(
        dlsym(RTLD_NEXT, "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi"));
    __tsan_release(event);
    qtPostEvent(receiver, event, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto qtWait =
        reinterpret_cast<bool (*)(QThread*, QDeadlineTimer)>(dlsym(RTLD_NEXT, "_ZN7QThread4waitE14QDeadlineTimer"));
    if (!qtWait(this, deadline))
        return false;
    // Qt may answer from a flag the checker cannot see; the exit marker's lock it does see.
    for (;; QThread::usleep(200)) {
        std::lock_guard<std::mutex> lock(threadsMutex);
        const auto entry = threadsExited.find(this);
        if (entry == threadsExited.end())
            return true;
        if (entry->second)
            return threadsExited.erase(entry), true;
    }
}
