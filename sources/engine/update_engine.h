#ifndef ORVI_UPDATE_ENGINE_H
#define ORVI_UPDATE_ENGINE_H

#include "device/connection.h"
#include "device/device_info.h"
#include "device/device_monitor.h"
#include "update/download_agent.h"
#include "update/update_manifest.h"

#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>

namespace OrviPlus {

class DeviceAgent;
class SleepPreventer;

// The device's own waits. Tests shorten them; the program uses these values.
struct DeviceWaits
{
    // Until the device is asked to be power-cycled after a component; 0: its model's own
    // time, 15 s for an Orvi and 20 s for an Orvi+.
    int restartMs = 0;
    // Then until it must be back, from the prompt and again from its leaving.
    int returnMs = 5 * 60 * 1000;
};

// Carries one device and its updates, whatever front end shows them. It takes up a device the
// monitor newly reports, drives its agent, and runs an update component by component:
// download, check against the manifest, wait for the device's update mode, send, wait for the
// device's restart and take the same device up again, identified by model and serial number,
// however it returns. The computer is kept awake from the start of an update to its end.
// It decides and signals; it shows nothing.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    enum class Stage {
        Idle,
        SelectingComponent,
        Downloading,
        AwaitingUpdateMode,
        Installing,
        AwaitingRestart,
        AwaitingReturn,
    };

    explicit UpdateEngine(DeviceMonitor *monitor, const DeviceWaits &waits = DeviceWaits(), QObject *parent = nullptr);
    ~UpdateEngine() override;

    // Takes up only the device with this serial number; empty, the default, takes any.
    void setAcceptedSerial(const QString &serialNumber);

    // The device taken up and, once deviceReady() came, what it reported.
    bool hasDevice() const;
    bool deviceIsReady() const;
    Connection device() const;
    DeviceInfo deviceInfo() const;

    // Runs components on the ready device to their end; false, with a log line, when no
    // device is ready or an update runs already.
    bool startUpdate(const QVector<Component> &components);
    // From startUpdate() until the update has ended, the device's restarts included.
    bool isUpdating() const;
    Stage stage() const;
    // The component being updated, its place in the update and their number.
    Component currentComponent() const;
    int componentIndex() const;
    int componentCount() const;

signals:
    // A device was taken up; its handshake runs.
    void deviceFound();
    void deviceReady();
    // The device went away: unplugged, or restarting during an update.
    void deviceLost();
    void deviceFailed(const QString &reason);

    void componentStarted();
    void downloadProgress(float fraction);
    void componentDownloaded();
    void deviceReadyForUpdate();
    void installProgress(float fraction, long total);
    void componentInstalled();
    // The device has not restarted in its time: the user must power-cycle it.
    void restartOverdue();
    void updateFinished();

    // Each ends the update; reason says why, for the log and for a front end that shows it.
    void downloadFailed(const QString &reason);
    void installFailed(const QString &reason);
    void rebootFailed(const QString &reason);

private:
    void onConnected(const Connection &connection);
    void onPolled();
    void takeUp(const Connection &connection);
    void releaseDevice();
    void onDeviceReady(const DeviceInfo &info);
    void onDeviceFailure(const QString &reason);
    void onDeviceDisconnected();
    void onReadyForUpdate();
    void onDeviceDone();

    void startNextComponent();
    void fetchComponent();
    void onDownloadFinished();
    void onDownloadFailed(const QString &reason);
    void awaitUpdateMode();
    void onRestartOverdue();
    void onReturnOverdue();
    void endUpdate();
    void setSleepPrevented(bool prevented);

    DeviceMonitor *m_monitor;
    DeviceWaits m_waits;
    QString m_acceptedSerial;
    DeviceAgent *m_agent = nullptr;
    bool m_deviceReady = false;
    Connection m_device;
    DeviceInfo m_info;

    // The last device lost and when: it is taken up again only from a poll that began later.
    Connection m_lostDevice;
    DeviceMonitor::Clock::time_point m_lostAt;
    bool m_awaitingLostDevice = false;

    Stage m_stage = Stage::Idle;
    QVector<Component> m_components;
    int m_current = -1;
    DownloadAgent m_downloadAgent;
    QTimer m_nextStep;
    QTimer m_fetchStep;
    QTimer m_restartTimer;
    QTimer m_returnTimer;
    std::unique_ptr<SleepPreventer> m_sleepPreventer;
};

} // namespace OrviPlus

#endif // ORVI_UPDATE_ENGINE_H
