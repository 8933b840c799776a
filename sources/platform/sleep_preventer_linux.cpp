#include "platform/sleep_preventer_linux.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDebug>

namespace OrviPlus {

namespace {

// The call is made from the main thread while the window waits, so a logind
// that does not answer must not hold it for the default 25 seconds.
const int inhibitCallTimeoutMs = 3000;

// logind lets a closed lid suspend the computer despite a sleep inhibitor unless the lid
// switch is inhibited too, and a shutdown would cut a transfer as surely as sleep does.
const QString inhibitedOperations = QStringLiteral("sleep:idle:handle-lid-switch:shutdown");

} // namespace

void SleepPreventerLinux::setSleepPrevented(bool prevented)
{
    const bool active = isSleepPrevented();
    if (prevented && !active) {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            qDebug() << "SleepPreventerLinux: no system bus:" << bus.lastError().message();
            return;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << inhibitedOperations << QStringLiteral("Orvi Updater")
             << QStringLiteral("Brevanto Orvi Update in Progress") << QStringLiteral("block");
        const QDBusReply<QDBusUnixFileDescriptor> reply =
            bus.call(call, QDBus::Block, inhibitCallTimeoutMs);
        if (!reply.isValid()) {
            qDebug() << "SleepPreventerLinux: Inhibit failed:" << reply.error().message();
            return;
        }
        if (!reply.value().isValid()) {
            qDebug() << "SleepPreventerLinux: Inhibit returned no file descriptor.";
            return;
        }
        m_inhibitor = reply.value();
    } else if (!prevented && active) {
        m_inhibitor = QDBusUnixFileDescriptor();
    }
}

bool SleepPreventerLinux::isSleepPrevented() const
{
    return m_inhibitor.isValid();
}

} // namespace OrviPlus
