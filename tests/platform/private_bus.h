// A throw-away dbus-daemon, on which the tests meet stand-ins of the system's and the
// desktop's services (services_stand_in.cpp) instead of the real ones.
#ifndef ORVI_PRIVATE_BUS_H
#define ORVI_PRIVATE_BUS_H

#include "child_process.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTemporaryDir>

class PrivateBus
{
public:
    PrivateBus()
    {
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_daemon.start(QStringLiteral(DBUS_DAEMON_EXECUTABLE),
                       {QStringLiteral("--config-file=" PRIVATE_BUS_CONFIG), QStringLiteral("--nofork"),
                        QStringLiteral("--nopidfile"), QStringLiteral("--print-address"),
                        QStringLiteral("--address=unix:dir=") + m_folder.path()});
        const QByteArray address = m_daemon.firstLine();
        if (address.startsWith("unix:"))
            m_address = QString::fromLatin1(address);
    }
    // Empty if the daemon did not start.
    QString address() const { return m_address; }
    // Makes it the process's system or session bus (DBUS_SYSTEM_BUS_ADDRESS or
    // DBUS_SESSION_BUS_ADDRESS); Qt reads the variable at the first use of that bus.
    bool serveAs(const char *addressVariable) const
    {
        return !m_address.isEmpty() && qputenv(addressVariable, m_address.toLatin1());
    }

private:
    // Not under TMPDIR: a socket path must fit in 108 bytes.
    QTemporaryDir m_folder{QStringLiteral("/tmp/orvi-bus-XXXXXX")};
    ChildProcess m_daemon;
    QString m_address;
};

// One stand-in: "notifications" on the session bus, or logind on the system bus answering as
// the mode says.
class ServiceStandIn : public ChildProcess
{
public:
    bool start(const QString &mode)
    {
        stop();
        m_notifications = mode == QLatin1String("notifications");
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        ChildProcess::start(QStringLiteral(SERVICES_STAND_IN_EXECUTABLE), {mode});
        return firstLine() == "ready";
    }
    // What it has seen: "Calls" since last asked (answered after every call made on the same
    // bus before), or logind's "OpenInhibitors".
    QVariant ask(const char *method) const
    {
        const QString service = m_notifications ? "org.freedesktop.Notifications" : "org.freedesktop.login1";
        const QString path = m_notifications ? "/org/freedesktop/Notifications" : "/org/freedesktop/login1";
        QDBusConnection bus = m_notifications ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
        // No interface: the stand-in's own methods, whichever service it plays.
        const QDBusMessage call = QDBusMessage::createMethodCall(service, path, QString(), QString::fromLatin1(method));
        // A stand-in that stopped answering fails the check in seconds, not the test's whole time.
        return bus.call(call, QDBus::BlockWithGui, 5000).arguments().value(0);
    }

private:
    bool m_notifications = false;
};

#endif // ORVI_PRIVATE_BUS_H
