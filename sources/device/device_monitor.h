#ifndef ORVI_DEVICE_MONITOR_H
#define ORVI_DEVICE_MONITOR_H

#include "device/connection.h"

#include <QEvent>
#include <QObject>
#include <QThread>
#include <QVector>

#include <mutex>

namespace OrviPlus {

class DeviceMonitorWorker;

// Watches the HID bus from its own thread and reports devices of the family as they come
// and go. Lives in the GUI thread; all signals are emitted there.
class DeviceMonitor : public QObject {
    Q_OBJECT

public:
    explicit DeviceMonitor(QObject* parent = nullptr);
    ~DeviceMonitor() override;

    void start();
    void stop();
    QVector<Connection> connections() const;

signals:
    void connected(const Connection& connection);
    void disconnected(const QString& path);

private:
    void updateConnections();

    QThread m_thread;
    DeviceMonitorWorker* m_worker = nullptr;
    QVector<Connection> m_connections;
};

// Enumerates the bus once a second in the monitor thread.
class DeviceMonitorWorker : public QObject {
    Q_OBJECT

public:
    enum EventType {
        StartEvent = QEvent::User,
        StopEvent,
    };

    DeviceMonitorWorker();

    void start();
    void stop();

    // Safe to call from any thread.
    QVector<Connection> connections() const;

signals:
    void newConnections();

protected:
    void customEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void pollDevices();

    int m_timerId = -1;
    QVector<Connection> m_connections;
    // A standard mutex, so that thread checkers can see the locking.
    mutable std::mutex m_mutex;
};

} // namespace OrviPlus

#endif
