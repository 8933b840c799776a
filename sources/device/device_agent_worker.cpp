#include "device/device_agent_worker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QThread>
#include <QTimerEvent>

namespace OrviPlus {

namespace {

const unsigned int OpenTimeoutMs = 2000;
const unsigned int ReadyQueryTimeoutMs = 200;
const unsigned long OrviReadyDelayMs = 3000;
const unsigned long ReadyPollIntervalMs = 500;
const qint64 ReadyPollLimitMs = 20000;
const qint64 ProgressIntervalMs = 20;

FirmwareVersion splitFirmwareVersion(quint16 word)
{
    FirmwareVersion version;
    version.stage = word >> 8;
    version.major = (word >> 4) & 15;
    version.minor = word & 15;
    return version;
}

DeviceInfo deviceInfoFromHeader(int model, const OrviHeader& header)
{
    DeviceInfo info;
    info.model = model;
    info.auxWord = header.auxWord;
    info.mcuVersion = splitFirmwareVersion(header.mcuVersion);
    info.dspVersion = splitFirmwareVersion(header.dspVersion);
    info.stylesVersion = header.stylesVersion;
    info.ensembleVersion = header.ensembleVersion;
    return info;
}

// What to do about a device node the user may not open: said wherever the failure is shown.
QString accessAdvice(const QString& path)
{
    return QStringLiteral("You may not open %1: install the udev rule 70-orvi-updater.rules (the Debian package "
                          "puts it in /usr/lib/udev/rules.d; from the source tree: sudo install -m 644 "
                          "packaging/linux/70-orvi-updater.rules /etc/udev/rules.d/ && sudo udevadm control --reload "
                          "&& sudo udevadm trigger --subsystem-match=hidraw), then plug the device in again.")
        .arg(path);
}

using SendFunction = int (*)(OrviDevice*, const char*, const OrviProgress*);

SendFunction sendFunctionFor(DeviceFileType fileType)
{
    switch (fileType) {
    case MicroFirmware:
        return orviSendMicroFW;
    case DspFirmware:
        return orviSendDspFW;
    case StyleData:
        return orviSendStyles;
    case EnsembleAudio:
        return orviSendEnsemble;
    }
    return nullptr;
}

} // namespace

DeviceAgentWorker::DeviceAgentWorker(const Connection& connection)
    : m_connection(connection)
{
}

DeviceAgentWorker::~DeviceAgentWorker()
{
    closeDevice();
}

void DeviceAgentWorker::customEvent(QEvent* event)
{
    switch (int(event->type())) {
    case StartEvent:
        start();
        break;
    case StopEvent:
        stop();
        break;
    case ShakeHandsEvent:
        shakeHands();
        break;
    case CheckReadyForUpdateEvent:
        checkReadyForUpdate();
        break;
    case SendFileEventType:
        sendFile(static_cast<SendFileEvent*>(event));
        break;
    default:
        QObject::customEvent(event);
    }
}

void DeviceAgentWorker::start()
{
    qDebug() << "DeviceAgent: starting...";
    if (m_running) {
        qCritical() << "DeviceAgent: already running!";
        return;
    }
    m_running = true;
    QCoreApplication::postEvent(this, new QEvent(QEvent::Type(ShakeHandsEvent)));
}

void DeviceAgentWorker::stop()
{
    if (!m_running) {
        qCritical() << "DeviceAgent: Trying to stop, but not running.";
        return;
    }
    closeDevice();
    m_running = false;
    emit stopped();
}

void DeviceAgentWorker::shakeHands()
{
    qDebug() << "DeviceAgent: connecting...";
    // A retry posted before a stop ends here.
    if (!m_running) {
        qDebug() << "DeviceAgent: aborting connection: stopped.";
        return;
    }
    if (m_device != nullptr) {
        qCritical() << "DeviceAgent: trying to connect, but already connected.";
        return;
    }

    qDebug() << "DeviceAgent: opening device...";
    unsigned int error = 0;
    m_device = orviOpen(m_connection.path.toLocal8Bit().constData(), m_connection.model, OpenTimeoutMs, &error);
    if (m_device != nullptr) {
        m_attachmentTimerId = startTimer(AttachmentCheckMs);
        qDebug() << "DeviceAgent: getting header...";
        OrviHeader header;
        orviGetHeader(m_device, &header);
        qDebug() << "DeviceAgent: getting info from header...";
        const DeviceInfo info = deviceInfoFromHeader(m_connection.model, header);
        qDebug() << "DeviceAgent: ready.";
        emit ready(info);
        return;
    }

    if (error == ORVI_ERR_TIMEOUT) {
        // The device may still be booting; the open itself paces the retries.
        qCritical() << "DeviceAgent: Timeout. Retrying...";
        QCoreApplication::postEvent(this, new QEvent(QEvent::Type(ShakeHandsEvent)));
        return;
    }

    qCritical() << "DeviceAgent: Failed to connect. Error:" << error;
    QString reason = QStringLiteral("Failed to connect to the device (error %1).").arg(error);
    if (error == ORVI_ERR_ACCESS) {
        const QString advice = accessAdvice(m_connection.path);
        qCritical().noquote() << "DeviceAgent:" << advice;
        reason += QLatin1Char(' ') + advice;
    }
    emit failure(reason);
    closeDevice();
    m_running = false;
}

void DeviceAgentWorker::checkReadyForUpdate()
{
    if (m_device == nullptr) {
        qCritical() << "DeviceAgent: trying to check whether ready for update, but not connected.";
        return;
    }

    // The original Orvi cannot be asked.
    if (m_connection.model == ORVI_MODEL_ORIG) {
        QThread::msleep(OrviReadyDelayMs);
        qDebug() << "DeviceAgent: Original Orvi:" << "Assumed ready after 3 sec.";
        emit readyForUpdate();
        return;
    }

    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ReadyPollLimitMs) {
        // The agent is being deleted (device forgotten, program ending) and waits for us.
        if (QThread::currentThread()->isInterruptionRequested()) {
            qDebug() << "DeviceAgent: readiness check interrupted.";
            return;
        }
        unsigned int ready = 0;
        // A failed query counts as "not ready yet".
        orviCheckReadyForUpdate(m_device, ReadyQueryTimeoutMs, &ready);
        qDebug() << "DeviceAgent: device ready for update = " << ready;
        if (ready != 0) {
            emit readyForUpdate();
            return;
        }
        QThread::msleep(ReadyPollIntervalMs);
    }
    qDebug() << "DeviceAgent: timed out checking whether device ready for update." << "Assuming ready.";
    emit readyForUpdate();
}

void DeviceAgentWorker::sendFile(SendFileEvent* event)
{
    if (m_device == nullptr) {
        qCritical() << "DeviceAgent: trying to send file but not connected.";
        return;
    }

    const SendFunction send = sendFunctionFor(event->fileType);
    if (send == nullptr) {
        qCritical() << "DeviceAgent: unknown file type:" << int(event->fileType);
        emit failure(QStringLiteral("Unknown file type %1.").arg(int(event->fileType)));
        return;
    }

    m_progressPercent = -1;
    m_progressTotal = -1;
    m_progressClock.invalidate();
    const OrviProgress hook = { &DeviceAgentWorker::progressCallback, this };
    const int result = send(m_device, event->filePath.toLocal8Bit().constData(), &hook);
    if (result == ORVI_OK)
        emit done();
    else
        emit failure(QStringLiteral("Sending the file failed (error %1).").arg(result));
}

void DeviceAgentWorker::onPathDisconnected(const QString& path)
{
    if (m_device != nullptr && path == m_connection.path)
        loseDevice();
}

void DeviceAgentWorker::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_attachmentTimerId)
        QObject::timerEvent(event);
    else if (m_device != nullptr && orviCheckAttached(m_device) != ORVI_OK)
        loseDevice();
}

void DeviceAgentWorker::loseDevice()
{
    closeDevice();
    m_running = false;
    qDebug() << "Device Agent: disconnected.";
    emit disconnected();
}

int DeviceAgentWorker::progressCallback(float fraction, long total, void* userData)
{
    auto* worker = static_cast<DeviceAgentWorker*>(userData);
    // A signal for each whole percent, but no more than one a display frame or so: the
    // window repaints its bar for each, and a device that takes packets faster than that
    // would otherwise keep the window's thread painting. The end always gets through.
    const int percent = int(fraction * 100);
    const bool changed = percent != worker->m_progressPercent || total != worker->m_progressTotal;
    const bool due = !worker->m_progressClock.isValid() || worker->m_progressClock.elapsed() >= ProgressIntervalMs
                     || percent == 100;
    if (changed && due) {
        worker->m_progressPercent = percent;
        worker->m_progressTotal = total;
        worker->m_progressClock.start();
        emit worker->progress(fraction, total);
    }
    // Deleting the agent is the only way to cut a transfer short.
    return QThread::currentThread()->isInterruptionRequested() ? 1 : 0;
}

void DeviceAgentWorker::closeDevice()
{
    if (m_attachmentTimerId != -1)
        killTimer(m_attachmentTimerId);
    m_attachmentTimerId = -1;
    orviClose(m_device);
    m_device = nullptr;
}

} // namespace OrviPlus
