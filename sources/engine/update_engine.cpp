#include "engine/update_engine.h"

#include "device/device_agent.h"
#include "engine/update_plan.h"
#include "platform/sleep_preventer.h"
#include "update/working_folder.h"

#include <QDebug>
#include <QFileInfo>

#include <utility>

namespace OrviPlus {

namespace {

const int OrviRestartMs = 15000;
const int OrviPlusRestartMs = 20000;

} // namespace

UpdateEngine::UpdateEngine(DeviceMonitor *monitor, const DeviceWaits &waits, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
    , m_waits(waits)
    , m_sleepPreventer(SleepPreventer::make())
{
    connect(m_monitor, &DeviceMonitor::connected, this, &UpdateEngine::onConnected);
    connect(m_monitor, &DeviceMonitor::polled, this, &UpdateEngine::onPolled);
    connect(&m_downloadAgent, &DownloadAgent::progress, this,
            [this](int, float fraction) { emit downloadProgress(fraction); });
    connect(&m_downloadAgent, &DownloadAgent::finished, this, &UpdateEngine::onDownloadFinished);
    connect(&m_downloadAgent, &DownloadAgent::failed, this, &UpdateEngine::onDownloadFailed);

    // Steps after the first start from the event loop, so that whoever reacts to one signal
    // has done so before the next comes: a state machine listens for a signal only once it
    // has entered the state that waits for it.
    m_nextStep.setSingleShot(true);
    m_nextStep.setInterval(0);
    connect(&m_nextStep, &QTimer::timeout, this, &UpdateEngine::startNextComponent);
    m_fetchStep.setSingleShot(true);
    m_fetchStep.setInterval(0);
    connect(&m_fetchStep, &QTimer::timeout, this, &UpdateEngine::fetchComponent);
    m_restartTimer.setSingleShot(true);
    connect(&m_restartTimer, &QTimer::timeout, this, &UpdateEngine::onRestartOverdue);
    m_returnTimer.setSingleShot(true);
    connect(&m_returnTimer, &QTimer::timeout, this, &UpdateEngine::onReturnOverdue);
}

UpdateEngine::~UpdateEngine()
{
    // Cuts a transfer short at its next packet and waits for the agent's thread.
    delete m_agent;
    endUpdate();
}

void UpdateEngine::setAcceptedSerial(const QString &serialNumber)
{
    m_acceptedSerial = serialNumber;
}

bool UpdateEngine::hasDevice() const
{
    return m_agent != nullptr;
}

bool UpdateEngine::deviceIsReady() const
{
    return m_deviceReady;
}

Connection UpdateEngine::device() const
{
    return m_device;
}

DeviceInfo UpdateEngine::deviceInfo() const
{
    return m_info;
}

bool UpdateEngine::isUpdating() const
{
    return m_stage != Stage::Idle;
}

UpdateEngine::Stage UpdateEngine::stage() const
{
    return m_stage;
}

Component UpdateEngine::currentComponent() const
{
    return m_components.value(m_current);
}

int UpdateEngine::componentIndex() const
{
    return m_current;
}

int UpdateEngine::componentCount() const
{
    return m_components.size();
}

void UpdateEngine::onConnected(const Connection &connection)
{
    // During an update only its own device is taken up again, from onPolled.
    const bool accepted = m_acceptedSerial.isEmpty() || connection.serialNumber == m_acceptedSerial;
    if (m_agent == nullptr && m_stage != Stage::AwaitingReturn && accepted)
        takeUp(connection);
}

void UpdateEngine::onPolled()
{
    if (m_agent != nullptr || !m_awaitingLostDevice || m_monitor->lastPollStart() < m_lostAt)
        return;
    // Back under the same path, or under another; several units without a serial number
    // cannot be told apart unless one is where the lost one was.
    QVector<Connection> candidates;
    for (const Connection &connection : m_monitor->connections()) {
        if (connection.isSameUnit(m_lostDevice))
            candidates.append(connection);
    }
    for (const Connection &candidate : std::as_const(candidates)) {
        if (candidates.size() == 1 || candidate.path == m_lostDevice.path) {
            takeUp(candidate);
            return;
        }
    }
}

void UpdateEngine::takeUp(const Connection &connection)
{
    qDebug() << "Selecting device...";
    qDebug() << "Selected device:" << connection.serialNumber << connection.path;
    m_device = connection;
    m_deviceReady = false;
    m_awaitingLostDevice = false;
    m_agent = new DeviceAgent(connection, m_monitor, this);
    connect(m_agent, &DeviceAgent::ready, this, &UpdateEngine::onDeviceReady);
    connect(m_agent, &DeviceAgent::disconnected, this, &UpdateEngine::onDeviceDisconnected);
    connect(m_agent, &DeviceAgent::readyForUpdate, this, &UpdateEngine::onReadyForUpdate);
    connect(m_agent, &DeviceAgent::progress, this, &UpdateEngine::installProgress);
    connect(m_agent, &DeviceAgent::done, this, &UpdateEngine::onDeviceDone);
    connect(m_agent, &DeviceAgent::failure, this, &UpdateEngine::onDeviceFailure);
    m_agent->start();
    emit deviceFound();
}

void UpdateEngine::releaseDevice()
{
    qDebug() << "Forgetting device...";
    if (m_agent == nullptr)
        return;
    // Called from the agent's own signals: it goes once they have returned, and closes the
    // device if it still holds it.
    m_agent->disconnect(this);
    m_agent->deleteLater();
    m_agent = nullptr;
    m_deviceReady = false;
    qDebug() << "Forgotten device:" << m_device.serialNumber << m_device.path;
}

void UpdateEngine::onDeviceReady(const DeviceInfo &info)
{
    m_info = info;
    m_deviceReady = true;
    qDebug() << "Device ready.";
    emit deviceReady();
    if (m_stage == Stage::AwaitingReturn) {
        m_returnTimer.stop();
        m_stage = Stage::SelectingComponent;
        m_nextStep.start();
    }
}

void UpdateEngine::onDeviceFailure(const QString &reason)
{
    if (!m_deviceReady) {
        // The handshake failed: the device is dropped and taken up again only when the
        // monitor reports it anew.
        releaseDevice();
        const bool returning = m_stage == Stage::AwaitingReturn;
        if (returning)
            endUpdate();
        emit deviceFailed(reason);
        if (returning)
            emit rebootFailed(QStringLiteral("The device could not be opened after its restart: %1").arg(reason));
        return;
    }
    if (m_stage == Stage::Installing) {
        qCritical().noquote() << "UpdateEngine:" << reason;
        endUpdate();
        emit installFailed(reason);
        return;
    }
    qCritical().noquote() << "UpdateEngine: unexpected failure:" << reason;
}

void UpdateEngine::onDeviceDisconnected()
{
    const Stage stage = m_stage;
    m_lostDevice = m_device;
    m_lostAt = DeviceMonitor::Clock::now();
    m_awaitingLostDevice = true;
    releaseDevice();

    if (stage == Stage::AwaitingRestart) {
        // The restart the update waits for.
        m_restartTimer.stop();
        m_stage = Stage::AwaitingReturn;
        m_returnTimer.start(m_waits.returnMs);
        emit deviceLost();
        return;
    }
    if (stage == Stage::AwaitingReturn) {
        const QString reason = QStringLiteral("The device went away again before it was ready.");
        qCritical().noquote() << "UpdateEngine:" << reason;
        endUpdate();
        emit deviceLost();
        emit rebootFailed(reason);
        return;
    }
    if (stage != Stage::Idle) {
        qCritical() << "UpdateEngine: the device was lost; the update is over.";
        endUpdate();
    }
    emit deviceLost();
}

bool UpdateEngine::startUpdate(const QVector<Component> &components)
{
    if (m_stage != Stage::Idle) {
        qCritical() << "UpdateEngine: an update runs already.";
        return false;
    }
    if (!m_deviceReady) {
        qCritical() << "UpdateEngine: no device ready to update.";
        return false;
    }
    m_components = components;
    m_current = -1;
    m_stage = Stage::SelectingComponent;
    setSleepPrevented(true);
    startNextComponent();
    return true;
}

void UpdateEngine::startNextComponent()
{
    if (m_stage != Stage::SelectingComponent)
        return;
    ++m_current;
    if (m_current >= m_components.size()) {
        endUpdate();
        emit updateFinished();
        return;
    }

    emit componentStarted();
    m_fetchStep.start();
}

void UpdateEngine::fetchComponent()
{
    if (m_stage != Stage::SelectingComponent)
        return;
    Component &component = m_components[m_current];
    if (!component.filePath.isEmpty()) {
        // A file the user chose: nothing to download.
        emit downloadProgress(1.0f);
        emit componentDownloaded();
        awaitUpdateMode();
        return;
    }
    if (!prepareWorkingFolder()) {
        qCritical() << "MainWindow: Failed to create download directory.";
        endUpdate();
        emit downloadFailed(QStringLiteral("The working folder %1 cannot be used.").arg(workingFolderPath()));
        return;
    }
    component.filePath = workingFolderPath() + QLatin1Char('/') + componentTypeName(component.type);
    m_stage = Stage::Downloading;
    m_downloadAgent.download(DownloadRequest{component.url, component.filePath, !component.sha256.isEmpty()});
}

void UpdateEngine::onDownloadFinished()
{
    if (m_stage != Stage::Downloading)
        return;
    const Component component = currentComponent();
    const QString fault =
            downloadedFileFault(component, QFileInfo(component.filePath).size(), m_downloadAgent.digests().value(0));
    if (!fault.isEmpty()) {
        qCritical().noquote() << fault;
        endUpdate();
        emit downloadFailed(fault);
        return;
    }
    emit componentDownloaded();
    awaitUpdateMode();
}

void UpdateEngine::onDownloadFailed(const QString &reason)
{
    if (m_stage != Stage::Downloading)
        return;
    qCritical().noquote() << "UpdateEngine: Download failed:" << reason;
    endUpdate();
    emit downloadFailed(reason);
}

void UpdateEngine::awaitUpdateMode()
{
    m_stage = Stage::AwaitingUpdateMode;
    qDebug() << "Checking whether device ready for update...";
    m_agent->checkReadyForUpdate();
}

void UpdateEngine::onReadyForUpdate()
{
    if (m_stage != Stage::AwaitingUpdateMode)
        return;
    emit deviceReadyForUpdate();
    const Component component = currentComponent();
    if (!isDeviceComponent(component.type)) {
        qCritical() << "MainWindow::onDownloadFinished: Unexpected component type.";
        endUpdate();
        emit installFailed(QStringLiteral("A %1 cannot be sent to the device.").arg(componentTypeName(component.type)));
        return;
    }
    m_stage = Stage::Installing;
    qDebug() << "Sending file type" << int(component.type) << "at" << component.filePath;
    // Device components carry their device file type's value.
    m_agent->sendFile(DeviceFileType(component.type), component.filePath);
}

void UpdateEngine::onDeviceDone()
{
    if (m_stage != Stage::Installing)
        return;
    m_stage = Stage::AwaitingRestart;
    const int restartMs = m_waits.restartMs > 0 ? m_waits.restartMs
                          : m_device.model == 0 ? OrviRestartMs
                                                : OrviPlusRestartMs;
    m_restartTimer.start(restartMs);
    emit componentInstalled();
}

void UpdateEngine::onRestartOverdue()
{
    if (m_stage != Stage::AwaitingRestart)
        return;
    qCritical() << "UpdateEngine: the device has not restarted; it must be power-cycled.";
    m_returnTimer.start(m_waits.returnMs);
    emit restartOverdue();
}

void UpdateEngine::onReturnOverdue()
{
    const QString reason =
            QStringLiteral("The device did not come back within %1 seconds.").arg(m_waits.returnMs / 1000.0);
    qCritical().noquote() << "UpdateEngine:" << reason;
    endUpdate();
    emit rebootFailed(reason);
}

void UpdateEngine::endUpdate()
{
    m_nextStep.stop();
    m_fetchStep.stop();
    m_restartTimer.stop();
    m_returnTimer.stop();
    // A download left running would otherwise finish into a later update's component.
    m_downloadAgent.abort();
    const bool wasUpdating = m_stage != Stage::Idle;
    m_stage = Stage::Idle;
    m_components.clear();
    m_current = -1;
    if (wasUpdating)
        setSleepPrevented(false);
}

void UpdateEngine::setSleepPrevented(bool prevented)
{
    m_sleepPreventer->setSleepPrevented(prevented);
    const bool isPrevented = m_sleepPreventer->isSleepPrevented();
    if (prevented && isPrevented)
        qDebug() << "System sleep disabled.";
    else if (prevented)
        qCritical() << "Could not disable system sleep.";
    else if (isPrevented)
        qCritical() << "Could not re-enable system sleep.";
    else
        qDebug() << "System sleep re-enabled.";
}

} // namespace OrviPlus
