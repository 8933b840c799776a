// Stands in for logind's Manager on the system bus or for the desktop's notification server on
// the session bus, both private. Its one argument: "notifications", or how logind answers:
// "grant" hands out inhibitor descriptors as logind does, "refuse" answers with an error,
// "silent" never answers. Calls and OpenInhibitors report to the test what it has seen.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>

#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// What the service was asked, each call's arguments joined by '|'; Calls takes them.
class CallLog : public QObject, protected QDBusContext
{
    Q_OBJECT

public slots:
    QStringList Calls() { return std::exchange(m_calls, {}); }

protected:
    QStringList m_calls;
};

class InhibitorManager : public CallLog
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    explicit InhibitorManager(const QString &mode) : m_mode(mode) {}

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode)
    {
        m_calls << QStringList{what, who, why, mode}.join('|');
        int ends[2];
        if (m_mode == QLatin1String("silent")) {
            setDelayedReply(true);
        } else if (m_mode == QLatin1String("refuse") || ::pipe2(ends, O_CLOEXEC) != 0) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
        } else {
            // logind keeps the read end; the inhibition lasts until every copy
            // of the write end it hands out is closed.
            m_readEnds << ends[0];
            const QDBusUnixFileDescriptor handedOut(ends[1]);
            ::close(ends[1]);
            return handedOut;
        }
        return QDBusUnixFileDescriptor();
    }

    int OpenInhibitors() const
    {
        int open = 0;
        for (int fd : m_readEnds) {
            pollfd entry = {fd, POLLIN, 0};
            open += ::poll(&entry, 1, 0) == 0;
        }
        return open;
    }

private:
    QString m_mode;
    QVector<int> m_readEnds;
};

// Keeps "icon|summary|body" of each notification. Like a real server it refuses a Notify whose
// argument types are not exactly these.
class NotificationServer : public CallLog
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public slots:
    uint Notify(const QString &, uint, const QString &icon, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        m_calls << QStringList{icon, summary, body}.join('|');
        return uint(m_calls.size());
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString mode = app.arguments().value(1);
    const bool notifications = mode == QLatin1String("notifications");
    InhibitorManager manager(mode);
    NotificationServer server;
    QDBusConnection bus = notifications ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
    if (!bus.registerObject(notifications ? "/org/freedesktop/Notifications" : "/org/freedesktop/login1",
                            notifications ? static_cast<CallLog *>(&server) : &manager,
                            QDBusConnection::ExportAllSlots)
        || !bus.registerService(notifications ? "org.freedesktop.Notifications" : "org.freedesktop.login1")) {
        std::fprintf(stderr, "stand-in: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "services_stand_in.moc"
