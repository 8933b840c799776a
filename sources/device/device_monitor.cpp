#include "device/device_monitor.h"

#include "device/orvi_device.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimerEvent>

#include <algorithm>
#include <utility>

namespace OrviPlus {

DeviceMonitor::DeviceMonitor(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<QVector<OrviPlus::Connection>>("QVector<OrviPlus::Connection>");
    qRegisterMetaType<std::chrono::steady_clock::time_point>("std::chrono::steady_clock::time_point");
}

DeviceMonitor::~DeviceMonitor()
{
    m_thread.quit();
    m_thread.wait();
}

void DeviceMonitor::start()
{
    if (m_thread.isRunning())
        return;
    Q_ASSERT_X(m_worker == nullptr, "sources/device/device_monitor::start", "m_worker == nullptr");

    m_thread.start();
    m_worker = new DeviceMonitorWorker;
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &DeviceMonitorWorker::newConnections, this, &DeviceMonitor::updateConnections);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    QCoreApplication::postEvent(m_worker, new QEvent(QEvent::Type(DeviceMonitorWorker::StartEvent)));
}

void DeviceMonitor::stop()
{
    if (!m_thread.isRunning())
        return;
    Q_ASSERT_X(m_worker != nullptr, "sources/device/device_monitor::stop", "m_worker != nullptr");

    // The poll timer dies with the thread, and the worker is deleted as the thread finishes.
    m_thread.quit();
    m_thread.wait();
    m_worker = nullptr;
}

QVector<Connection> DeviceMonitor::connections() const
{
    return m_connections;
}

DeviceMonitor::Clock::time_point DeviceMonitor::lastPollStart() const
{
    return m_lastPollStart;
}

void DeviceMonitor::updateConnections(const QVector<Connection>& current, Clock::time_point started)
{
    QVector<Connection> added = current;
    QVector<Connection> gone;
    for (const Connection& previous : std::as_const(m_connections)) {
        auto match = std::find_if(added.begin(), added.end(), [&previous](const Connection& candidate) {
            return candidate.isSameDevice(previous);
        });
        if (match != added.end())
            added.erase(match);
        else
            gone.append(previous);
    }

    // Receivers of the signals below may ask for connections() and must see the new list.
    m_connections = current;
    m_lastPollStart = started;

    for (const Connection& connection : std::as_const(gone)) {
        qDebug() << "Disconnected:" << connection.serialNumber << connection.path;
        emit disconnected(connection.path);
    }
    for (const Connection& connection : std::as_const(added)) {
        qDebug() << "Connected:" << connection.serialNumber << connection.path;
        emit connected(connection);
    }
    emit polled();
}

void DeviceMonitorWorker::start()
{
    if (m_timerId == -1)
        m_timerId = startTimer(1000, Qt::CoarseTimer);
}

void DeviceMonitorWorker::stop()
{
    if (m_timerId != -1)
        killTimer(m_timerId);
    m_timerId = -1;
}

void DeviceMonitorWorker::customEvent(QEvent* event)
{
    switch (int(event->type())) {
    case StartEvent:
        start();
        break;
    case StopEvent:
        stop();
        break;
    default:
        QObject::customEvent(event);
    }
}

void DeviceMonitorWorker::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_timerId)
        pollDevices();
    else
        QObject::timerEvent(event);
}

void DeviceMonitorWorker::pollDevices()
{
    const auto started = std::chrono::steady_clock::now();
    QVector<Connection> found;
    hid_device_info* devices = orviEnumerate();
    for (const hid_device_info* device = devices; device != nullptr; device = device->next) {
        Connection connection;
        if (device->product_id == ORVI_PRODUCT_ID_ORIG)
            connection.model = ORVI_MODEL_ORIG;
        else if (device->product_id == ORVI_PRODUCT_ID_PLUS)
            connection.model = ORVI_MODEL_PLUS;
        else
            continue;
        connection.path = QString::fromUtf8(device->path);
        if (device->serial_number != nullptr)
            connection.serialNumber = QString::fromWCharArray(device->serial_number);
        found.append(connection);
    }
    orviFreeEnumeration(devices);
    emit newConnections(found, started);
}

} // namespace OrviPlus
