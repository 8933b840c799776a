#ifndef ORVI_MAIN_WINDOW_UPDATER_H
#define ORVI_MAIN_WINDOW_UPDATER_H

#include "platform/sleep_preventer.h"
#include "update/semantic_version.h"
#include "update/update_manifest.h"

#include <QDateTime>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QStateMachine>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <memory>

QT_BEGIN_NAMESPACE
class QActionGroup;
class QLabel;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QStackedWidget;
QT_END_NAMESPACE

namespace OrviPlus {

class DeviceAgent;
class DeviceMonitor;
class DeviceStatusView;
class DownloadAgent;
class MessageBox;
class UpdateManager;
struct DeviceInfo;

// The application's only window: a black side panel with the device logos and
// status, and three pages (connect prompt, update check and list, update progress).
// A state machine built once at construction drives it through the whole workflow.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);

    QSize sizeHint() const override;

    // Follows the download of the current component; fraction runs from 0 to 1.
    void reportDownloadProgress(int index, float fraction);

    // True from the start of an update until its plan is used up or dropped, the
    // device's restarts between components included.
    bool updateIsInProgress() const;

    // How long the device may take to restart after a component before the user is
    // asked to power-cycle it; 0 restores the real 15 s (Orvi) and 20 s (Orvi+).
    static void setRebootWaitForTesting(int msecs);

signals:
    void deviceConnected();
    void deviceReady();
    void deviceReadyForUpdate();
    void deviceDisconnected();
    void deviceReadyToReboot();
    void deviceDone();
    void checkUpdatesRequest();
    void updatesAvailable();
    void noUpdatesAvailable();
    void forceInstallComponentRequest();
    void forceInstallAllComponentsRequest();
    void componentSelected();
    void componentDownloadSkipped();
    void updateFinished();
    void checkAppUpdatesRequest();
    void appUpdatesConfirmed();
    void appUpdatesRejected();
    void deviceFailure();
    void downloadFailure();
    void installFailure();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setupGui();
    void setupMenus();
    void setupStateMachine();

    // Menus and dialogs.
    void showAboutDialog();
    void setManifestUrl();
    void popUpMessageAsync(QMessageBox::Icon icon, const QString &title, const QString &text);

    // Device selection and update planning.
    void selectDevice();
    void forgetDevice();
    void showDeviceStatus();
    void clearDeviceUpdates();
    void discoverDeviceUpdates();
    void prepareDeviceUpdates(bool listAll);
    void displayDeviceUpdates();
    void onDeviceReady(const DeviceInfo &info);
    void onDeviceDisconnected();
    void onDeviceFailure();

    // The component update sequence.
    void setSleepPrevented(bool prevented);
    void beginUpdates();
    void selectNextComponent();
    void downloadNextComponent();
    QString downloadedComponentFault() const;
    void awaitUpdateMode();
    void installNextComponent();
    void awaitCompletion();
    void warnManualRebootNeeded();
    void reportInstallProgress(float fraction, long total);
    void forceInstallComponent(ComponentType type);

    // The application's own updates.
    void confirmAppUpdates();
    void doAppUpdates();

    SemanticVersion m_appVersion;
    QStateMachine m_stateMachine;

    QLabel *m_origLogoLabel = nullptr;
    QLabel *m_plusLogoLabel = nullptr;
    QLabel *m_makerLogoLabel = nullptr;
    QLabel *m_connectLabel = nullptr;
    DeviceStatusView *m_deviceStatusView = nullptr;
    QPushButton *m_checkUpdatesButton = nullptr;
    MessageBox *m_checkMessage = nullptr;
    MessageBox *m_warningMessage = nullptr;
    QListWidget *m_updateList = nullptr;
    QPushButton *m_startUpdateButton = nullptr;
    QLabel *m_updateTitleLabel = nullptr;
    QLabel *m_downloadLabel = nullptr;
    QLabel *m_installLabel = nullptr;
    MessageBox *m_updateMessage = nullptr;
    QProgressBar *m_downloadProgress = nullptr;
    QProgressBar *m_installProgress = nullptr;
    QStackedWidget *m_pages = nullptr;
    DeviceMonitor *m_deviceMonitor = nullptr;
    DeviceAgent *m_devAgent = nullptr;
    UpdateManager *m_updateManager = nullptr;
    DownloadAgent *m_downloadAgent = nullptr;

    QDateTime m_lastCheckTime;
    QStringList m_warnings;
    QVector<Component> m_deviceUpdates;
    int m_currentUpdate = -1;
    QTimer m_rebootTimer;
    QUrl m_appUpdateUrl;
    bool m_appUpdateCheckIsAutomatic = false;

    QMenu *m_advancedMenu = nullptr;
    QActionGroup *m_installActions = nullptr;
    QAction *m_checkAppUpdateAction = nullptr;

    QPixmap m_origLogo;
    QPixmap m_plusLogo;

    // Kept for the life of the window, which main() deletes only as the process ends.
    std::unique_ptr<SleepPreventer> m_sleepPreventer;

    static int m_rebootWaitForTesting;
};

} // namespace OrviPlus

#endif // ORVI_MAIN_WINDOW_UPDATER_H
