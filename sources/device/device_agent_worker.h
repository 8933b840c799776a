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

    static int progressCallback(float fraction, long total, void* userData);

signals:
    // Spelled out in full: the name must match the one registered for queued delivery.
    void ready(OrviPlus::DeviceInfo info);
    void readyForUpdate();
    void disconnected();
    void stopped();
    void failure();
    void progress(float fraction, long total);
    void done();

protected:
    void customEvent(QEvent* event) override;

private:
    void closeDevice();

    Connection m_connection;
    bool m_running = false;
    OrviDevice* m_device = nullptr;
    // What the last progress signal of the running transfer told, and when.
    int m_progressPercent = -1;
    long m_progressTotal = -1;
    QElapsedTimer m_progressClock;
};

} // namespace OrviPlus

#endif
