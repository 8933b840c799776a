// Stands in for the desktop's notification service on a private bus, in the test's own
// process: it takes Notify calls as a notification server does and keeps what they showed.
#ifndef ORVI_NOTIFICATION_SERVICE_STAND_IN_H
#define ORVI_NOTIFICATION_SERVICE_STAND_IN_H

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <utility>

class NotificationServiceStandIn : public QDBusVirtualObject
{
public:
    ~NotificationServiceStandIn() override { QDBusConnection::disconnectFromBus(m_name); }

    bool serveOn(const QString &busAddress)
    {
        QDBusConnection bus = QDBusConnection::connectToBus(busAddress, m_name);
        return bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this)
               && bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }

    // "icon|summary|body" of each notification shown since the last take, once every call made
    // on this process's session bus before has arrived: a call on the same connection is
    // answered after them.
    QStringList take()
    {
        QDBusConnection::sessionBus().call(
                QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                               QStringLiteral("/org/freedesktop/Notifications"),
                                               QStringLiteral("org.freedesktop.Notifications"),
                                               QStringLiteral("GetServerInformation")),
                QDBus::BlockWithGui);
        return std::exchange(m_shown, {});
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != QLatin1String("Notify"))
            return connection.send(message.createReply());
        // Servers refuse a Notify whose argument types are not exactly these.
        if (message.signature() != QLatin1String("susssasa{sv}i"))
            return connection.send(message.createErrorReply(QDBusError::InvalidArgs, message.signature()));
        const QVariantList arguments = message.arguments();
        m_shown << QStringList{arguments[2].toString(), arguments[3].toString(), arguments[4].toString()}.join('|');
        return connection.send(message.createReply(++m_lastId));
    }
    QString introspect(const QString &) const override { return QString(); }

private:
    const QString m_name = QStringLiteral("notification-service-stand-in");
    QStringList m_shown;
    quint32 m_lastId = 0;
};

#endif // ORVI_NOTIFICATION_SERVICE_STAND_IN_H
