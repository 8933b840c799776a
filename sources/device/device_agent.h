#ifndef ORVI_DEVICE_AGENT_H
#define ORVI_DEVICE_AGENT_H

#include "device/connection.h"
#include "device/device_info.h"
#include "device/send_file_event.h"

#include <QObject>
#include <QThread>

namespace OrviPlus {

class DeviceAgentWorker;
class DeviceMonitor;

// Drives one connected device from its own thread: handshake, readiness check and file
// transfers. Lives in the GUI thread; all signals are emitted there.
class DeviceAgent : public QObject {
    Q_OBJECT

public:
    DeviceAgent(const Connection& connection, DeviceMonitor* monitor, QObject* parent = nullptr);
    // Cuts a running transfer short at its next packet, then waits for the thread.
    ~DeviceAgent() override;

    void start();
    void stop();
    void checkReadyForUpdate();
    void sendFile(DeviceFileType type, const QString& path);

signals:
    void ready(DeviceInfo info);
    void readyForUpdate();
    // The handshake or a transfer failed; the reason names the protocol's error code.
    void failure(const QString& reason);
    void disconnected();
    void progress(float fraction, long total);
    void done();

private:
    void postToWorker(int type);

    QThread m_thread;
    DeviceAgentWorker* m_worker = nullptr;
};

} // namespace OrviPlus

#endif
