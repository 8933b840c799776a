#ifndef ORVI_DEVICE_AGENT_WORKER_H
#define ORVI_DEVICE_AGENT_WORKER_H

#include "device/connection.h"
#include "device/device_info.h"
#include "device/orvi_device.h"
#include "device/send_file_event.h"

#include <QElapsedTimer>
#include <QObject>

namespace OrviPlus {

// Runs every blocking call of the device protocol in the device agent's thread, one
// request at a time.
class DeviceAgentWorker : public QObject {
    Q_OBJECT

public:
    enum EventType {
        StartEvent = QEvent::User,
        StopEvent,
        ShakeHandsEvent,
        CheckReadyForUpdateEvent,
        SendFileEventType = SendFileEvent::EventType,
    };

    explicit DeviceAgentWorker(const Connection& connection);
    ~DeviceAgentWorker() override;

    void start();
    void stop();
    void shakeHands();
    void checkReadyForUpdate();
    void sendFile(SendFileEvent* event);

    void onPathDisconnected(const QString& path);

    // How often a connected device's handle is checked between requests, so that a restart
    // is noticed however short it is, even one back under the same path before the monitor's
    // next poll.
    static constexpr int AttachmentCheckMs = 200;

    static int progressCallback(float fraction, long total, void* userData);

signals:
    // Spelled out in full: the name must match the one registered for queued delivery.
    void ready(OrviPlus::DeviceInfo info);
    void readyForUpdate();
    void disconnected();
    void stopped();
    void failure(const QString& reason);
    void progress(float fraction, long total);
    void done();

protected:
    void customEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void loseDevice();
    void closeDevice();

    Connection m_connection;
    bool m_running = false;
    OrviDevice* m_device = nullptr;
    int m_attachmentTimerId = -1;
    // What the last progress signal of the running transfer told, and when.
    int m_progressPercent = -1;
    long m_progressTotal = -1;
    QElapsedTimer m_progressClock;
};

} // namespace OrviPlus

#endif
