#ifndef ORVI_DEVICE_MONITOR_H
#define ORVI_DEVICE_MONITOR_H

#include "device/connection.h"

#include <QEvent>
#include <QObject>
#include <QThread>
#include <QVector>

#include <chrono>

namespace OrviPlus {

class DeviceMonitorWorker;

// Watches the HID bus from its own thread and reports devices of the family as they come
// and go. Lives in the GUI thread; all signals are emitted there.
class DeviceMonitor : public QObject {
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    explicit DeviceMonitor(QObject* parent = nullptr);
    ~DeviceMonitor() override;

    void start();
    void stop();
    QVector<Connection> connections() const;
    // When the enumeration behind connections() began: a device that left after it may still
    // be listed.
    Clock::time_point lastPollStart() const;

signals:
    void connected(const Connection& connection);
    void disconnected(const QString& path);
    // A poll's result has been compared and reported, changed or not.
    void polled();

private:
    void updateConnections(const QVector<Connection>& current, Clock::time_point started);

    QThread m_thread;
    DeviceMonitorWorker* m_worker = nullptr;
    QVector<Connection> m_connections;
    Clock::time_point m_lastPollStart;
};

// Enumerates the bus once a second in the monitor thread and hands each result over.
class DeviceMonitorWorker : public QObject {
    Q_OBJECT

public:
    enum EventType {
        StartEvent = QEvent::User,
        StopEvent,
    };

    void start();
    void stop();

signals:
    void newConnections(const QVector<OrviPlus::Connection>& connections,
                        std::chrono::steady_clock::time_point started);

protected:
    void customEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void pollDevices();

    int m_timerId = -1;
};

} // namespace OrviPlus

Q_DECLARE_METATYPE(std::chrono::steady_clock::time_point)

#endif
