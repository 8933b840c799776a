// A throw-away dbus-daemon, on which the tests meet stand-ins of the system's and the
// desktop's services instead of the real ones.
#ifndef ORVI_PRIVATE_BUS_H
#define ORVI_PRIVATE_BUS_H

#include "child_process.h"

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

#endif // ORVI_PRIVATE_BUS_H
