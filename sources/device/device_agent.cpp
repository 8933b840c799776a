#include "device/device_agent.h"

#include "device/device_agent_worker.h"
#include "device/device_monitor.h"

#include <QCoreApplication>

namespace OrviPlus {

DeviceAgent::DeviceAgent(const Connection& connection, DeviceMonitor* monitor, QObject* parent)
    : QObject(parent)
{
    m_worker = new DeviceAgentWorker(connection);
    m_worker->moveToThread(&m_thread);

    connect(monitor, &DeviceMonitor::disconnected, m_worker, &DeviceAgentWorker::onPathDisconnected);
    connect(m_worker, &DeviceAgentWorker::ready, this, &DeviceAgent::ready);
    connect(m_worker, &DeviceAgentWorker::disconnected, this, &DeviceAgent::disconnected);
    connect(m_worker, &DeviceAgentWorker::readyForUpdate, this, &DeviceAgent::readyForUpdate);
    connect(m_worker, &DeviceAgentWorker::failure, this, &DeviceAgent::failure);
    connect(m_worker, &DeviceAgentWorker::progress, this, &DeviceAgent::progress);
    connect(m_worker, &DeviceAgentWorker::done, this, &DeviceAgent::done);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);

    m_thread.start();
}

DeviceAgent::~DeviceAgent()
{
    m_thread.requestInterruption();
    m_thread.quit();
    m_thread.wait();
}

void DeviceAgent::start()
{
    postToWorker(DeviceAgentWorker::StartEvent);
}

void DeviceAgent::stop()
{
    postToWorker(DeviceAgentWorker::StopEvent);
}

void DeviceAgent::checkReadyForUpdate()
{
    postToWorker(DeviceAgentWorker::CheckReadyForUpdateEvent);
}

void DeviceAgent::sendFile(DeviceFileType type, const QString& path)
{
    QCoreApplication::postEvent(m_worker, new SendFileEvent(type, path));
}

void DeviceAgent::postToWorker(int type)
{
    QCoreApplication::postEvent(m_worker, new QEvent(QEvent::Type(type)));
}

} // namespace OrviPlus
