// Stands in for logind's Manager on a private bus: "grant" hands out inhibitor
// descriptors as logind does, "refuse" answers with an error, "silent" never
// answers. Calls and OpenInhibitors report to the test what it has seen.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

class InhibitorManager : public QObject, protected QDBusContext
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

    QStringList Calls() const { return m_calls; }

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
    QStringList m_calls;
    QVector<int> m_readEnds;
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    InhibitorManager manager(app.arguments().value(1));
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager,
                            QDBusConnection::ExportAllSlots)
        || !bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
        std::fprintf(stderr, "stand-in: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "login1_stand_in.moc"
