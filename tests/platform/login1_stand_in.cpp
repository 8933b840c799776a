// Stands in for systemd-logind's Manager on a private bus so that the sleep
// preventer can be tested without touching the real system. Usage:
//   orvi_login1_stand_in grant|refuse|silent
// "grant" hands out inhibitor descriptors as logind does, "refuse" answers
// every Inhibit call with an error and "silent" never answers. The probe
// object at /probe reports what the stand-in has seen.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QStringList>
#include <QVector>

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

class InhibitorManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    enum class Mode { Grant, Refuse, Silent };

    explicit InhibitorManager(Mode mode) : m_mode(mode) {}

    ~InhibitorManager() override
    {
        for (int fd : qAsConst(m_readEnds))
            ::close(fd);
    }

    int callCount() const { return m_callCount; }
    QStringList lastArguments() const { return m_lastArguments; }

    // logind keeps the read end of a pipe and hands out the write end; the
    // inhibition lasts until every copy of the write end has been closed.
    int openInhibitorCount() const
    {
        int open = 0;
        for (int fd : m_readEnds) {
            pollfd entry = {fd, POLLIN, 0};
            if (::poll(&entry, 1, 0) == 0)
                ++open;
        }
        return open;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode)
    {
        ++m_callCount;
        m_lastArguments = QStringList{what, who, why, mode};
        switch (m_mode) {
        case Mode::Refuse:
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Permission denied"));
            return QDBusUnixFileDescriptor();
        case Mode::Silent:
            setDelayedReply(true);
            m_unanswered.append(message());
            return QDBusUnixFileDescriptor();
        case Mode::Grant:
            break;
        }
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("pipe failed"));
            return QDBusUnixFileDescriptor();
        }
        m_readEnds.append(ends[0]);
        const QDBusUnixFileDescriptor handedOut(ends[1]); // keeps a duplicate
        ::close(ends[1]);
        return handedOut;
    }

private:
    Mode m_mode;
    int m_callCount = 0;
    QStringList m_lastArguments;
    QVector<int> m_readEnds;
    QVector<QDBusMessage> m_unanswered;
};

class Probe : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.orvi.test.Login1Probe")

public:
    explicit Probe(const InhibitorManager *manager) : m_manager(manager) {}

public slots:
    int InhibitCalls() const { return m_manager->callCount(); }
    int OpenInhibitors() const { return m_manager->openInhibitorCount(); }
    QStringList LastArguments() const { return m_manager->lastArguments(); }

private:
    const InhibitorManager *m_manager;
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString modeName = app.arguments().value(1);
    InhibitorManager::Mode mode;
    if (modeName == QLatin1String("grant"))
        mode = InhibitorManager::Mode::Grant;
    else if (modeName == QLatin1String("refuse"))
        mode = InhibitorManager::Mode::Refuse;
    else if (modeName == QLatin1String("silent"))
        mode = InhibitorManager::Mode::Silent;
    else {
        std::fprintf(stderr, "usage: orvi_login1_stand_in grant|refuse|silent\n");
        return 2;
    }

    InhibitorManager manager(mode);
    Probe probe(&manager);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager,
                            QDBusConnection::ExportAllSlots)
        || !bus.registerObject(QStringLiteral("/probe"), &probe, QDBusConnection::ExportAllSlots)
        || !bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
        std::fprintf(stderr, "stand-in: cannot serve on the bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "login1_stand_in.moc"
