#ifndef ORVI_MAIN_WINDOW_UPDATER_H
#define ORVI_MAIN_WINDOW_UPDATER_H

#include "engine/update_engine.h"
#include "engine/update_plan.h"
#include "update/semantic_version.h"
#include "update/update_manifest.h"

#include <QDateTime>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QStateMachine>
#include <QUrl>

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

class DesktopNotifier;
class DeviceMonitor;
class DeviceStatusView;
class MessageBox;
class UpdateManager;

// The application's only window: a black side panel with the device logos and
// status, and three pages (connect prompt, update check and list, update progress).
// A state machine built once at construction follows the update engine and the
// user through the whole workflow; the engine does the work.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(const DeviceWaits &waits = DeviceWaits(), QWidget *parent = nullptr);

    QSize sizeHint() const override;

    // True from the start of an update until it has ended, the device's restarts
    // between components included.
    bool updateIsInProgress() const;

signals:
    void checkUpdatesRequest();
    void updatesAvailable();
    void noUpdatesAvailable();
    void forceInstallComponentRequest();
    void forceInstallAllComponentsRequest();
    void checkAppUpdatesRequest();
    void appUpdatesConfirmed();
    void appUpdatesRejected();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setupGui();
    void setupMenus();
    void setupStateMachine();

    // Menus and dialogs.
    void showAboutDialog();
    void setManifestUrl();
    void popUpMessageAsync(QMessageBox::Icon icon, const QString &title, const QString &text,
                           const QString &detailedText = QString());

    // The device and its plan.
    void showDeviceStatus();
    void clearDeviceUpdates();
    void discoverDeviceUpdates();
    void prepareDeviceUpdates(bool listAll);
    void displayDeviceUpdates();

    // The component update sequence, as the engine reports it.
    void showComponent();
    void reportDownloadProgress(float fraction);
    void reportInstallProgress(float fraction, long total);
    void forceInstallComponent(ComponentType type);
    // The end of an update: also told to the desktop when the user is not looking at the window.
    void reportUpdateEnd(const QString &summary, const QString &body);
    void reportUpdateFailure(const QString &title, const QString &text);

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
    UpdateManager *m_updateManager = nullptr;
    UpdateEngine *m_engine = nullptr;
    DesktopNotifier *m_notifier = nullptr;

    QDateTime m_lastCheckTime;
    QString m_deviceFailure;
    DevicePlan m_plan;
    QUrl m_appUpdateUrl;
    bool m_appUpdateCheckIsAutomatic = false;

    QMenu *m_advancedMenu = nullptr;
    QActionGroup *m_installActions = nullptr;
    QAction *m_checkAppUpdateAction = nullptr;

    QPixmap m_origLogo;
    QPixmap m_plusLogo;
};

} // namespace OrviPlus

#endif // ORVI_MAIN_WINDOW_UPDATER_H
