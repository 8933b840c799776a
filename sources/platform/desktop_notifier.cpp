#include "platform/desktop_notifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDebug>

namespace OrviPlus {

namespace {

// Only bounds how long an unanswered call is remembered; nobody waits for it.
const int notifyCallTimeoutMs = 5000;

} // namespace

DesktopNotifier::DesktopNotifier(const QString &desktopEntry, QObject *parent)
    : QObject(parent)
    , m_desktopEntry(desktopEntry)
{
}

void DesktopNotifier::notify(const QString &summary, const QString &body)
{
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                                       service, QStringLiteral("Notify"));
    // No id to replace, no actions, and the server's own expiry.
    call << QCoreApplication::applicationName() << quint32(0) << m_desktopEntry << summary << body
         << QStringList() << QVariantMap{{QStringLiteral("desktop-entry"), m_desktopEntry}} << qint32(-1);
    // Without a session bus the call fails at once, and the watcher reports it like any other failure.
    auto *watcher =
            new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, notifyCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher *finished) {
        if (finished->isError())
            qDebug().noquote() << "DesktopNotifier: not shown:" << finished->error().message();
        finished->deleteLater();
    });
}

} // namespace OrviPlus
