#include "gui/main_window_updater.h"

#include "device/device_agent.h"
#include "device/device_monitor.h"
#include "gui/application_setup.h"
#include "gui/device_status_view.h"
#include "gui/guarded_signal_transition.h"
#include "gui/message_box.h"
#include "gui/version_text.h"
#include "settings/configuration_manager.h"
#include "update/download_agent.h"
#include "update/update_manager.h"
#include "update/working_folder.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <cmath>
#include <future>
#include <tuple>

namespace OrviPlus {

namespace {

const QString appVersionText = QStringLiteral(ORVI_APP_VERSION);

// The device pictures are drawn large; the side panel shows the band that holds the model name.
QImage deviceLogo(const QString &resource)
{
    const QRect modelBand(100, 290, 800, 310);
    return QImage(resource).copy(modelBand).scaledToWidth(200, Qt::SmoothTransformation);
}

// Dimmed with a dark red veil so that it does not compete with the device logos.
QPixmap makerLogo()
{
    QImage logo = QImage(QStringLiteral(":/images/brevanto_logo.png")).scaledToWidth(100, Qt::SmoothTransformation);
    QPainter painter(&logo);
    painter.fillRect(logo.rect(), QColor(15, 0, 0, 150));
    painter.end();
    return QPixmap::fromImage(logo);
}

// The sizes the user sees are whole kilobytes, rounded up so that a small file never shows as 0 KB.
QString kilobytes(double bytes)
{
    return QString::number(qulonglong(std::ceil(bytes / 1024.0)));
}

// Firmware versions in the manifest are "stage.major.minor".
FirmwareVersion parseFirmwareVersion(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    FirmwareVersion version;
    if (parts.size() == 3) {
        version.stage = parts[0].toInt();
        version.major = parts[1].toInt();
        version.minor = parts[2].toInt();
    }
    return version;
}

bool operator<(const FirmwareVersion &a, const FirmwareVersion &b)
{
    return std::tie(a.stage, a.major, a.minor) < std::tie(b.stage, b.major, b.minor);
}

// Older MCU firmware has no USB update path; it must be programmed directly.
bool mcuUsbUpdatable(const FirmwareVersion &mcu)
{
    return !(mcu < FirmwareVersion{0, 6, 4});
}

// Styles and ensemble versions are plain numbers, decimal, octal or "0x" hexadecimal.
uint32_t contentVersion(const QString &text)
{
    return text.toUInt(nullptr, 0);
}

QString planLine(const Component &component)
{
    QString version;
    switch (component.type) {
    case ComponentType::McuFirmware:
    case ComponentType::DspFirmware:
        version = firmwareVersionText(parseFirmwareVersion(component.version));
        break;
    case ComponentType::Styles:
        version = hexVersionText(uint16_t(contentVersion(component.version)));
        break;
    case ComponentType::EnsembleAudio:
        version = hexVersionText(contentVersion(component.version));
        break;
    default:
        break;
    }
    return QStringLiteral("%1: Version %2, Size %3 KB")
            .arg(componentTypeName(component.type), version, kilobytes(double(component.size)));
}

// A manual install must at least be named like the component it claims to be.
QString requiredFileEnding(ComponentType type)
{
    switch (type) {
    case ComponentType::McuFirmware:
        return QStringLiteral("Update.bin");
    case ComponentType::DspFirmware:
        return QStringLiteral(".ldr");
    case ComponentType::Styles:
        return QStringLiteral("StyleData.bin");
    case ComponentType::EnsembleAudio:
        return QStringLiteral(".flac");
    default:
        return QString();
    }
}

const int OrviRebootWaitMs = 15000;
const int OrviPlusRebootWaitMs = 20000;

} // namespace

int MainWindow::m_rebootWaitForTesting = 0;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    try {
        m_appVersion = SemanticVersion(appVersionText);
    } catch (const SemanticVersion::error &) {
        qCritical().noquote() << QStringLiteral("Failed to parse app version: \"%1\"").arg(appVersionText);
    }
    qDebug().noquote() << "App version =" << m_appVersion.text();

    m_deviceMonitor = new DeviceMonitor(this);
    m_updateManager = new UpdateManager(this);
    m_downloadAgent = new DownloadAgent(this);
    connect(m_downloadAgent, &DownloadAgent::progress, this, &MainWindow::reportDownloadProgress);
    connect(m_downloadAgent, &DownloadAgent::failed, this, &MainWindow::downloadFailure);

    m_rebootTimer.setSingleShot(true);
    connect(&m_rebootTimer, &QTimer::timeout, this, &MainWindow::deviceReadyToReboot);

    setupGui();
    setupMenus();
    setupStateMachine();

    m_sleepPreventer.reset(SleepPreventer::make());

    m_stateMachine.start();
    m_deviceMonitor->start();
    // The self-update region starts by checking; that first check is the automatic one.
    m_appUpdateCheckIsAutomatic = true;
}

QSize MainWindow::sizeHint() const
{
    return QSize(750, 500);
}

void MainWindow::reportDownloadProgress(int, float fraction)
{
    m_downloadProgress->setValue(int(fraction * 100));
}

bool MainWindow::updateIsInProgress() const
{
    return m_currentUpdate >= 0;
}

void MainWindow::setRebootWaitForTesting(int msecs)
{
    m_rebootWaitForTesting = msecs;
}

void MainWindow::setupGui()
{
    initImageResources();
    // Decoding the two large device pictures is the costliest step of building the window:
    // they are decoded on other threads while the widgets are made.
    std::future<QImage> origLogo = std::async(deviceLogo, QStringLiteral(":/images/orvi_logo_orig.png"));
    std::future<QImage> plusLogo = std::async(deviceLogo, QStringLiteral(":/images/orvi_logo_plus.png"));

    // Page 0: the one centred prompt.
    m_connectLabel = new QLabel;
    m_connectLabel->setAlignment(Qt::AlignCenter);

    m_deviceStatusView = new DeviceStatusView;
    m_deviceStatusView->setObjectName(QStringLiteral("deviceInfo"));
    m_deviceStatusView->setStyleSheet(QStringLiteral(" #deviceInfo QLabel { color: white; margin: 10 } "));

    // Page 1: update check and the planned updates.
    m_checkUpdatesButton = new QPushButton(QStringLiteral("Check for Latest Updates"));
    connect(m_checkUpdatesButton, &QPushButton::clicked, this, &MainWindow::checkUpdatesRequest);
    m_warningMessage = new MessageBox;
    m_checkMessage = new MessageBox;
    m_updateList = new QListWidget;
    m_startUpdateButton = new QPushButton(QStringLiteral("Start Update"));
    m_startUpdateButton->setEnabled(false);

    auto *checkPage = new QWidget;
    auto *checkLayout = new QVBoxLayout(checkPage);
    checkLayout->addWidget(m_checkUpdatesButton);
    checkLayout->addWidget(m_warningMessage);
    checkLayout->addWidget(m_checkMessage);
    checkLayout->addWidget(m_updateList);
    checkLayout->addWidget(m_startUpdateButton);

    // Page 2: progress of the component being updated.
    m_updateTitleLabel = new QLabel;
    QFont titleFont = m_updateTitleLabel->font();
    titleFont.setPointSize(titleFont.pointSize() + 4);
    titleFont.setWeight(QFont::Bold);
    m_updateTitleLabel->setFont(titleFont);
    m_downloadLabel = new QLabel;
    m_downloadProgress = new QProgressBar;
    m_downloadProgress->setRange(0, 100);
    m_installLabel = new QLabel;
    m_installProgress = new QProgressBar;
    m_installProgress->setRange(0, 100);
    m_updateMessage = new MessageBox;

    auto *updatePage = new QWidget;
    auto *updateLayout = new QVBoxLayout(updatePage);
    updateLayout->setSpacing(15);
    updateLayout->addWidget(m_updateTitleLabel);
    updateLayout->addWidget(m_downloadLabel);
    updateLayout->addWidget(m_downloadProgress);
    updateLayout->addWidget(m_installLabel);
    updateLayout->addWidget(m_installProgress);
    updateLayout->addWidget(m_updateMessage);
    updateLayout->addStretch(1);

    m_pages = new QStackedWidget;
    m_pages->setContentsMargins(0, 0, 0, 0);
    m_pages->addWidget(m_connectLabel);
    m_pages->addWidget(checkPage);
    m_pages->addWidget(updatePage);

    m_makerLogoLabel = new QLabel;
    m_makerLogoLabel->setPixmap(makerLogo());
    m_makerLogoLabel->setAlignment(Qt::AlignHCenter);

    m_origLogo = QPixmap::fromImage(origLogo.get());
    m_plusLogo = QPixmap::fromImage(plusLogo.get());
    m_origLogoLabel = new QLabel;
    m_origLogoLabel->setPixmap(m_origLogo);
    m_plusLogoLabel = new QLabel;
    m_plusLogoLabel->setPixmap(m_plusLogo);

    auto *statusWidget = new QWidget;
    statusWidget->setObjectName(QStringLiteral("statusWidget"));
    statusWidget->setStyleSheet(QStringLiteral("#statusWidget { background-color: rgb(0,0,0); }"));
    auto *statusLayout = new QVBoxLayout(statusWidget);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    statusLayout->setSpacing(0);
    statusLayout->addWidget(m_origLogoLabel);
    statusLayout->addWidget(m_plusLogoLabel);
    statusLayout->addWidget(m_deviceStatusView);
    statusLayout->addStretch(1);
    statusLayout->addWidget(m_makerLogoLabel);

    auto *central = new QWidget;
    auto *centralLayout = new QHBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->addWidget(statusWidget);
    centralLayout->addWidget(m_pages);
    setCentralWidget(central);
}

void MainWindow::setupMenus()
{
    static const ComponentType installableTypes[] = {ComponentType::McuFirmware, ComponentType::DspFirmware,
                                                     ComponentType::Styles, ComponentType::EnsembleAudio};

    // Kept out of the menu bar: it is for service work, opened with Meta+A.
    m_advancedMenu = new QMenu(tr("Advanced"), this);
    m_installActions = new QActionGroup(this);
    m_installActions->setEnabled(false);
    for (ComponentType type : installableTypes) {
        QAction *install = m_advancedMenu->addAction(QStringLiteral("Install %1...").arg(componentTypeName(type)));
        m_installActions->addAction(install);
        connect(install, &QAction::triggered, this, [this, type] { forceInstallComponent(type); });
    }
    m_advancedMenu->addSeparator();
    QAction *listAll = m_advancedMenu->addAction(QStringLiteral("List All Components"));
    m_installActions->addAction(listAll);
    connect(listAll, &QAction::triggered, this, &MainWindow::forceInstallAllComponentsRequest);
    m_advancedMenu->addSeparator();
    QAction *manifestUrl = m_advancedMenu->addAction(QStringLiteral("Set Manifest URL..."));
    connect(manifestUrl, &QAction::triggered, this, &MainWindow::setManifestUrl);

    auto *bar = new QMenuBar;
    QMenu *fileMenu = bar->addMenu(tr("&File"));
    m_checkAppUpdateAction = fileMenu->addAction(tr("Check for New Version of Orvi Updater"));
    connect(m_checkAppUpdateAction, &QAction::triggered, this, &MainWindow::checkAppUpdatesRequest);
    fileMenu->addSeparator();
    QAction *quit = fileMenu->addAction(tr("&Quit"));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &QWidget::close);
    QMenu *helpMenu = bar->addMenu(tr("&Help"));
    QAction *about = helpMenu->addAction(tr("About %1...").arg(QCoreApplication::applicationName()));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &MainWindow::showAboutDialog);
    setMenuBar(bar);

    auto *advancedShortcut = new QShortcut(QKeySequence(Qt::META + Qt::Key_A), this);
    connect(advancedShortcut, &QShortcut::activated, this, [this] { m_advancedMenu->popup(QCursor::pos()); });
}

void MainWindow::setupStateMachine()
{
    const auto onEntry = [this](QState *state, auto action) { connect(state, &QState::entered, this, action); };
    const auto withPopUp = [this](QAbstractTransition *transition, const QString &title, const QString &text) {
        connect(transition, &QAbstractTransition::triggered, this,
                [this, title, text] { popUpMessageAsync(QMessageBox::Critical, title, text); });
    };

    // Qt's machine itself cannot be parallel, so one parallel state holds the four regions.
    auto *regions = new QState(QState::ParallelStates, &m_stateMachine);
    m_stateMachine.setInitialState(regions);
    auto *deviceLink = new QState(regions);
    auto *statusPanel = new QState(regions);
    auto *mainPage = new QState(regions);
    auto *appUpdate = new QState(regions);

    // Which device is selected.
    auto *noDevice = new QState(deviceLink);
    auto *selectingDevice = new QState(deviceLink);
    auto *deviceSelected = new QState(deviceLink);
    deviceLink->setInitialState(noDevice);
    onEntry(noDevice, &MainWindow::forgetDevice);
    onEntry(selectingDevice, &MainWindow::selectDevice);
    noDevice->addTransition(m_deviceMonitor, &DeviceMonitor::connected, selectingDevice);
    selectingDevice->addTransition(this, &MainWindow::deviceReady, deviceSelected);
    withPopUp(selectingDevice->addTransition(this, &MainWindow::deviceFailure, noDevice),
              QStringLiteral("Connection Failure"), QStringLiteral("Failed to connect to device."));
    selectingDevice->addTransition(this, &MainWindow::deviceDisconnected, noDevice);
    deviceSelected->addTransition(this, &MainWindow::deviceDisconnected, noDevice);

    // What the side panel shows.
    auto *statusNoDevice = new QState(statusPanel);
    auto *statusWaiting = new QState(statusPanel);
    auto *statusShowingInfo = new QState(statusPanel);
    statusPanel->setInitialState(statusNoDevice);
    statusNoDevice->assignProperty(m_origLogoLabel, "visible", true);
    statusNoDevice->assignProperty(m_plusLogoLabel, "visible", true);
    statusNoDevice->assignProperty(m_deviceStatusView, "text", QStringLiteral("No device connected"));
    statusWaiting->assignProperty(m_deviceStatusView, "text", QStringLiteral("Waiting..."));
    onEntry(statusShowingInfo, &MainWindow::showDeviceStatus);
    statusNoDevice->addTransition(selectingDevice, &QState::entered, statusWaiting);
    statusWaiting->addTransition(noDevice, &QState::entered, statusNoDevice);
    statusWaiting->addTransition(deviceSelected, &QState::entered, statusShowingInfo);
    statusShowingInfo->addTransition(noDevice, &QState::entered, statusNoDevice);

    // The page shown, and the device update workflow.
    auto *connectPrompt = new QState(mainPage);
    auto *waitingForDevice = new QState(mainPage);
    auto *devicePresent = new QState(mainPage);
    auto *devicePage = new QState(devicePresent);
    auto *updating = new QState(devicePresent);
    auto *checkingForUpdates = new QState(devicePage);
    auto *updatesShown = new QState(devicePage);
    auto *discoveringUpdates = new QState(checkingForUpdates);
    auto *planningUpdates = new QState(checkingForUpdates);
    auto *discoveringAllUpdates = new QState(checkingForUpdates);
    auto *planningAllUpdates = new QState(checkingForUpdates);
    auto *noUpdatesShown = new QState(updatesShown);
    auto *updatesAvailableShown = new QState(updatesShown);
    auto *selectingComponent = new QState(updating);
    auto *downloadingComponent = new QState(updating);
    auto *awaitingUpdateMode = new QState(updating);
    auto *installingComponent = new QState(updating);
    auto *installFailed = new QState(updating);
    auto *awaitingCompletion = new QState(updating);
    auto *awaitingManualReboot = new QState(updating);
    auto *awaitingReboot = new QState(updating);
    mainPage->setInitialState(connectPrompt);
    devicePresent->setInitialState(devicePage);
    devicePage->setInitialState(updatesShown);
    checkingForUpdates->setInitialState(planningUpdates);
    updatesShown->setInitialState(noUpdatesShown);
    updating->setInitialState(selectingComponent);

    connectPrompt->assignProperty(m_connectLabel, "text", QStringLiteral("Please connect a ORVI device."));
    connectPrompt->assignProperty(m_pages, "currentIndex", 0);
    waitingForDevice->assignProperty(m_connectLabel, "text",
                                     QStringLiteral("Waiting for the ORVI device to get ready..."));
    devicePage->assignProperty(m_pages, "currentIndex", 1);
    checkingForUpdates->assignProperty(m_checkMessage, "text", QStringLiteral("Checking for latest updates..."));
    checkingForUpdates->assignProperty(m_checkMessage, "mode", MessageBox::Information);
    checkingForUpdates->assignProperty(m_checkUpdatesButton, "enabled", false);
    checkingForUpdates->assignProperty(m_warningMessage, "mode", MessageBox::Hidden);
    checkingForUpdates->assignProperty(m_checkAppUpdateAction, "enabled", false);
    updatesShown->assignProperty(m_checkUpdatesButton, "enabled", true);
    updatesShown->assignProperty(m_installActions, "enabled", true);
    updatesShown->assignProperty(m_checkAppUpdateAction, "enabled", true);
    noUpdatesShown->assignProperty(m_startUpdateButton, "enabled", false);
    updatesAvailableShown->assignProperty(m_startUpdateButton, "enabled", true);
    updating->assignProperty(m_pages, "currentIndex", 2);
    updating->assignProperty(m_downloadLabel, "visible", true);
    updating->assignProperty(m_downloadProgress, "visible", true);
    updating->assignProperty(m_updateMessage, "text",
                             QStringLiteral("Please do NOT disconnect or power down the device!"));
    updating->assignProperty(m_updateMessage, "mode", MessageBox::Warning);
    selectingComponent->assignProperty(m_updateMessage, "mode", MessageBox::Hidden);
    installingComponent->assignProperty(
            m_updateMessage, "text",
            QStringLiteral("Update in progress...\n\nPlease DO NOT disconnect or power down the device!"));
    installingComponent->assignProperty(m_updateMessage, "mode", MessageBox::Warning);
    awaitingCompletion->assignProperty(m_updateMessage, "mode", MessageBox::Warning);
    awaitingCompletion->assignProperty(m_updateMessage, "text",
                                       QStringLiteral("Waiting for confirmation that the update is finished...\n\n"
                                                      "Please DO NOT disconnect or power down the device!"));
    awaitingReboot->assignProperty(m_updateMessage, "mode", MessageBox::Information);
    awaitingReboot->assignProperty(m_updateMessage, "text", QStringLiteral("Waiting for the device to reboot..."));

    onEntry(devicePresent, &MainWindow::clearDeviceUpdates);
    connect(devicePresent, &QState::exited, this, &MainWindow::clearDeviceUpdates);
    onEntry(discoveringUpdates, &MainWindow::discoverDeviceUpdates);
    onEntry(planningUpdates, [this] { prepareDeviceUpdates(false); });
    onEntry(discoveringAllUpdates, &MainWindow::discoverDeviceUpdates);
    onEntry(planningAllUpdates, [this] { prepareDeviceUpdates(true); });
    onEntry(noUpdatesShown, &MainWindow::displayDeviceUpdates);
    onEntry(updatesAvailableShown, &MainWindow::displayDeviceUpdates);
    connect(updatesShown, &QState::exited, m_installActions, [this] { m_installActions->setEnabled(false); });
    onEntry(updating, [this] {
        setSleepPrevented(true);
        beginUpdates();
    });
    connect(updating, &QState::exited, this, [this] { setSleepPrevented(false); });
    onEntry(selectingComponent, &MainWindow::selectNextComponent);
    onEntry(downloadingComponent, &MainWindow::downloadNextComponent);
    onEntry(awaitingUpdateMode, &MainWindow::awaitUpdateMode);
    onEntry(installingComponent, &MainWindow::installNextComponent);
    onEntry(installFailed, [this] {
        popUpMessageAsync(QMessageBox::Critical, QStringLiteral("Update Failure"),
                          QStringLiteral("The update could not be completed."));
    });
    onEntry(awaitingCompletion, &MainWindow::awaitCompletion);
    onEntry(awaitingManualReboot, &MainWindow::warnManualRebootNeeded);

    const QString downloadFailureTitle = QStringLiteral("Download Failure");
    const QString downloadFailureText = QStringLiteral("Failed to download updates.");
    connectPrompt->addTransition(selectingDevice, &QState::entered, waitingForDevice);
    waitingForDevice->addTransition(deviceSelected, &QState::entered, devicePresent);
    waitingForDevice->addTransition(noDevice, &QState::entered, connectPrompt);
    devicePresent->addTransition(noDevice, &QState::entered, connectPrompt);
    discoveringUpdates->addTransition(m_updateManager, &UpdateManager::updateDiscoveryDone, planningUpdates);
    discoveringAllUpdates->addTransition(m_updateManager, &UpdateManager::updateDiscoveryDone, planningAllUpdates);
    withPopUp(checkingForUpdates->addTransition(m_updateManager, &UpdateManager::failure, noUpdatesShown),
              QStringLiteral("Update Check Failure"), QStringLiteral("Failed to check for updates!"));
    checkingForUpdates->addTransition(this, &MainWindow::updatesAvailable, updatesAvailableShown);
    checkingForUpdates->addTransition(this, &MainWindow::noUpdatesAvailable, noUpdatesShown);
    noUpdatesShown->addTransition(this, &MainWindow::checkUpdatesRequest, discoveringUpdates);
    updatesAvailableShown->addTransition(this, &MainWindow::checkUpdatesRequest, discoveringUpdates);
    updatesAvailableShown->addTransition(m_startUpdateButton, &QPushButton::clicked, updating);
    updatesShown->addTransition(this, &MainWindow::forceInstallComponentRequest, updating);
    updatesShown->addTransition(this, &MainWindow::forceInstallAllComponentsRequest, discoveringAllUpdates);
    selectingComponent->addTransition(this, &MainWindow::componentSelected, downloadingComponent);
    selectingComponent->addTransition(this, &MainWindow::updateFinished, checkingForUpdates);
    withPopUp(downloadingComponent->addTransition(this, &MainWindow::downloadFailure, checkingForUpdates),
              downloadFailureTitle, downloadFailureText);
    // A finished download is installed only if it is the file the manifest describes.
    auto *downloadIntact = new GuardedSignalTransition(m_downloadAgent, &DownloadAgent::finished,
                                                       [this] { return downloadedComponentFault().isEmpty(); });
    downloadIntact->setTargetState(awaitingUpdateMode);
    downloadingComponent->addTransition(downloadIntact);
    auto *downloadDamaged = new GuardedSignalTransition(m_downloadAgent, &DownloadAgent::finished,
                                                        [this] { return !downloadedComponentFault().isEmpty(); });
    downloadDamaged->setTargetState(checkingForUpdates);
    downloadingComponent->addTransition(downloadDamaged);
    connect(downloadDamaged, &QAbstractTransition::triggered, this,
            [this] { qCritical().noquote() << downloadedComponentFault(); });
    withPopUp(downloadDamaged, downloadFailureTitle, downloadFailureText);
    downloadingComponent->addTransition(this, &MainWindow::componentDownloadSkipped, awaitingUpdateMode);
    awaitingUpdateMode->addTransition(this, &MainWindow::deviceReadyForUpdate, installingComponent);
    installingComponent->addTransition(this, &MainWindow::deviceFailure, installFailed);
    installingComponent->addTransition(this, &MainWindow::installFailure, installFailed);
    installingComponent->addTransition(this, &MainWindow::deviceDone, awaitingCompletion);
    installFailed->addTransition(checkingForUpdates);
    awaitingCompletion->addTransition(noDevice, &QState::entered, awaitingReboot);
    awaitingCompletion->addTransition(&m_rebootTimer, &QTimer::timeout, awaitingManualReboot);
    awaitingManualReboot->addTransition(noDevice, &QState::entered, awaitingReboot);
    awaitingReboot->addTransition(deviceSelected, &QState::entered, selectingComponent);
    withPopUp(awaitingReboot->addTransition(noDevice, &QState::entered, connectPrompt),
              QStringLiteral("Reboot Failure"), QStringLiteral("The device failed to reboot after update."));

    // The application's check for a newer version of itself.
    auto *appUpdateIdle = new QState(appUpdate);
    auto *checkingAppUpdates = new QState(appUpdate);
    auto *confirmingAppUpdate = new QState(appUpdate);
    auto *doingAppUpdate = new QState(appUpdate);
    auto *appUpdateCheckFailed = new QState(appUpdate);
    appUpdate->setInitialState(checkingAppUpdates);
    appUpdateIdle->assignProperty(m_checkUpdatesButton, "enabled", true);
    checkingAppUpdates->assignProperty(m_checkUpdatesButton, "enabled", false);
    onEntry(appUpdateIdle, [this] { m_appUpdateCheckIsAutomatic = false; });
    // Queued: the first network request sets up Qt's network stack, which would otherwise
    // hold back the window's first appearance.
    onEntry(checkingAppUpdates, [this] { QTimer::singleShot(0, m_updateManager, &UpdateManager::check); });
    onEntry(confirmingAppUpdate, &MainWindow::confirmAppUpdates);
    onEntry(doingAppUpdate, &MainWindow::doAppUpdates);
    onEntry(appUpdateCheckFailed, [this] {
        if (!m_appUpdateCheckIsAutomatic)
            popUpMessageAsync(QMessageBox::Critical, QString(),
                              QStringLiteral("Failed to check for new version of Orvi Updater."));
    });
    appUpdateIdle->addTransition(this, &MainWindow::checkAppUpdatesRequest, checkingAppUpdates);
    checkingAppUpdates->addTransition(m_updateManager, &UpdateManager::updateDiscoveryDone, confirmingAppUpdate);
    checkingAppUpdates->addTransition(m_updateManager, &UpdateManager::failure, appUpdateCheckFailed);
    confirmingAppUpdate->addTransition(this, &MainWindow::appUpdatesConfirmed, doingAppUpdate);
    confirmingAppUpdate->addTransition(this, &MainWindow::appUpdatesRejected, appUpdateIdle);
    doingAppUpdate->addTransition(appUpdateIdle);
    appUpdateCheckFailed->addTransition(appUpdateIdle);
}

void MainWindow::showAboutDialog()
{
    const QString name = QCoreApplication::applicationName();
    QMessageBox::about(this, QStringLiteral("About %1").arg(name),
                       QStringLiteral("<b>%1 version %2</b>").arg(name, appVersionText));
}

void MainWindow::setManifestUrl()
{
    ConfigurationManager *configuration = ConfigurationManager::m_instance;
    QString text = configuration->updateManifestUrl().toString();
    for (;;) {
        bool accepted = false;
        text = QInputDialog::getText(this, QStringLiteral("Set Manifest URL"),
                                     QStringLiteral("Please enter the URL of the update manifest file."),
                                     QLineEdit::Normal, text, &accepted);
        if (!accepted)
            return;
        if (text.isEmpty()) {
            configuration->resetUpdateManifestUrl();
            return;
        }
        const QUrl url = QUrl::fromUserInput(text);
        if (url.isValid()) {
            configuration->setUpdateManifestUrl(url);
            return;
        }
        QMessageBox::critical(this, QStringLiteral("Invalid Manifest URL"),
                              QStringLiteral("The entered text is not a valid URL. Please enter a valid URL."),
                              QMessageBox::Ok);
    }
}

void MainWindow::popUpMessageAsync(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    auto *box = new QMessageBox(this);
    box->setModal(true);
    box->setText(text);
    box->setWindowTitle(title);
    box->setIcon(icon);
    connect(box, &QMessageBox::finished, box, &QObject::deleteLater);
    box->show();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!updateIsInProgress()) {
        event->accept();
        return;
    }
    const QMessageBox::StandardButton answer = QMessageBox::warning(
            this, tr("Update in Progress"),
            tr("An update is in progress. Quitting now will abort the update.\n\nAre you sure you want to quit?\n"),
            QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        event->accept();
    else
        event->ignore();
}

void MainWindow::selectDevice()
{
    qDebug() << "Selecting device...";
    if (m_devAgent != nullptr) {
        qCritical() << "Trying to select device, but device already selected.";
        emit deviceFailure();
        return;
    }
    const QVector<Connection> connections = m_deviceMonitor->connections();
    if (connections.isEmpty()) {
        qCritical() << "Trying to select device, but none available.";
        emit deviceFailure();
        return;
    }
    const Connection connection = connections.first();
    qDebug() << "Selected device:" << connection.serialNumber << connection.path;

    m_devAgent = new DeviceAgent(connection, m_deviceMonitor, this);
    connect(m_devAgent, &DeviceAgent::ready, this, &MainWindow::onDeviceReady);
    connect(m_devAgent, &DeviceAgent::disconnected, this, &MainWindow::onDeviceDisconnected);
    connect(m_devAgent, &DeviceAgent::readyForUpdate, this, &MainWindow::deviceReadyForUpdate);
    connect(m_devAgent, &DeviceAgent::progress, this, &MainWindow::reportInstallProgress);
    connect(m_devAgent, &DeviceAgent::done, this, &MainWindow::deviceDone);
    connect(m_devAgent, &DeviceAgent::failure, this, &MainWindow::onDeviceFailure);
    m_devAgent->start();
    emit deviceConnected();
}

void MainWindow::forgetDevice()
{
    qDebug() << "Forgetting device...";
    if (m_devAgent == nullptr)
        return;
    const Connection connection = m_devAgent->connection();
    m_devAgent->stop();
    delete m_devAgent;
    m_devAgent = nullptr;
    qDebug() << "Forgotten device:" << connection.serialNumber << connection.path;
}

void MainWindow::showDeviceStatus()
{
    Q_ASSERT_X(m_devAgent, "sources/gui/main_window_updater", "m_devAgent");
    const DeviceInfo info = m_devAgent->info();
    m_deviceStatusView->setInfo(info);
    if (info.model != 0)
        m_origLogoLabel->hide();
    else
        m_plusLogoLabel->hide();
}

void MainWindow::onDeviceReady(const DeviceInfo &)
{
    qDebug() << "Device ready.";
    emit deviceReady();
}

void MainWindow::onDeviceDisconnected()
{
    emit deviceDisconnected();
}

void MainWindow::onDeviceFailure()
{
    emit deviceFailure();
}

void MainWindow::clearDeviceUpdates()
{
    m_lastCheckTime = QDateTime();
    m_warnings.clear();
    m_deviceUpdates.clear();
    m_currentUpdate = -1;
}

void MainWindow::discoverDeviceUpdates()
{
    clearDeviceUpdates();
    displayDeviceUpdates();
    m_updateManager->check();
}

void MainWindow::prepareDeviceUpdates(bool listAll)
{
    Q_ASSERT_X(m_devAgent, "sources/gui/main_window_updater", "m_devAgent");
    clearDeviceUpdates();
    m_lastCheckTime = m_updateManager->lastCheck();

    const DeviceInfo info = m_devAgent->info();
    const QVector<Component> components =
            m_updateManager->components().value(info.model != 0 ? DeviceOrviPlus : DeviceOrvi);
    const bool mcuUpdatable = mcuUsbUpdatable(info.mcuVersion);

    for (const Component &component : components) {
        if (listAll) {
            m_deviceUpdates.append(component);
            continue;
        }
        switch (component.type) {
        case ComponentType::McuFirmware: {
            const FirmwareVersion version = parseFirmwareVersion(component.version);
            qDebug() << "Found MCU:"
                     << QStringLiteral("%1.%2.%3").arg(version.stage).arg(version.major).arg(version.minor)
                     << component.version;
            if (info.mcuVersion < version) {
                if (mcuUpdatable) {
                    m_deviceUpdates.append(component);
                    qDebug() << "New MCU";
                } else {
                    const QString warning = QStringLiteral(
                            "An MCU update is available but your current MCU firmware cannot be updated by USB. "
                            "It must be programmed directly into the MCU.");
                    qCritical().noquote() << warning;
                    m_warnings.append(warning);
                }
            }
            break;
        }
        case ComponentType::DspFirmware: {
            const FirmwareVersion version = parseFirmwareVersion(component.version);
            qDebug() << "Found DSP:"
                     << QStringLiteral("%1.%2.%3").arg(version.stage).arg(version.major).arg(version.minor)
                     << component.version;
            if (info.dspVersion < version) {
                m_deviceUpdates.append(component);
                qDebug() << "New DSP.";
            }
            break;
        }
        case ComponentType::Styles: {
            const uint16_t version = uint16_t(contentVersion(component.version));
            qDebug() << "Found Styles:" << hexVersionText(version) << component.version;
            if (version != info.stylesVersion) {
                m_deviceUpdates.append(component);
                qDebug() << "New Styles.";
            }
            break;
        }
        case ComponentType::EnsembleAudio: {
            const uint32_t version = contentVersion(component.version);
            qDebug() << "Found Ensemble Audio:" << hexVersionText(version) << component.version;
            if (version != info.ensembleVersion) {
                m_deviceUpdates.append(component);
                qDebug() << "New Ensemble.";
            }
            break;
        }
        default:
            qCritical() << "Device update: Unexpected component type";
            break;
        }
    }

    if (m_deviceUpdates.isEmpty())
        emit noUpdatesAvailable();
    else
        emit updatesAvailable();
}

void MainWindow::displayDeviceUpdates()
{
    m_updateList->clear();

    if (m_warnings.isEmpty())
        m_warningMessage->clear();
    else
        m_warningMessage->warning(QStringLiteral("WARNING:\n") + m_warnings.join(QLatin1Char('\n')));

    const QString checkTime = m_lastCheckTime.toString(Qt::TextDate);
    if (!m_deviceUpdates.isEmpty())
        m_checkMessage->info(
                QStringLiteral("The following components can be updated (last checked on %1):").arg(checkTime));
    else if (m_lastCheckTime.isValid())
        m_checkMessage->info(QStringLiteral("No updates available (last checked on %1).").arg(checkTime));
    else
        m_checkMessage->clear();

    for (const Component &component : qAsConst(m_deviceUpdates)) {
        auto *line = new QListWidgetItem(planLine(component), m_updateList);
        line->setFlags(Qt::ItemIsEnabled);
    }
}

void MainWindow::setSleepPrevented(bool prevented)
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

void MainWindow::beginUpdates()
{
    m_currentUpdate = -1;
    Q_ASSERT_X(m_devAgent != nullptr, "sources/gui/main_window_updater", "m_devAgent != nullptr");
}

void MainWindow::selectNextComponent()
{
    ++m_currentUpdate;
    if (unsigned(m_currentUpdate) >= unsigned(m_deviceUpdates.size())) {
        m_deviceUpdates.clear();
        m_warnings.clear();
        m_currentUpdate = -1;
        emit updateFinished();
        return;
    }

    const Component &component = m_deviceUpdates[m_currentUpdate];
    m_updateTitleLabel->setText(QStringLiteral("Updating %1 (Component %2/%3)")
                                        .arg(componentTypeName(component.type))
                                        .arg(m_currentUpdate + 1)
                                        .arg(m_deviceUpdates.size()));
    m_downloadProgress->setValue(0);
    m_installProgress->setValue(0);
    QString downloadText = QStringLiteral("Downloading");
    if (component.size != 0)
        downloadText += QStringLiteral(" (%1 KB)").arg(kilobytes(double(component.size)));
    m_downloadLabel->setText(downloadText);
    m_installLabel->setText(QStringLiteral("Installing"));
    emit componentSelected();
}

void MainWindow::downloadNextComponent()
{
    Component &component = m_deviceUpdates[m_currentUpdate];
    if (!component.filePath.isEmpty()) {
        m_downloadProgress->setValue(100);
        emit componentDownloadSkipped();
        return;
    }
    if (!prepareWorkingFolder()) {
        qCritical() << "MainWindow: Failed to create download directory.";
        emit downloadFailure();
        return;
    }
    component.filePath = workingFolderPath() + QLatin1Char('/') + componentTypeName(component.type);
    m_downloadAgent->download(DownloadRequest{component.url, component.filePath, !component.sha256.isEmpty()});
}

// Empty when the downloaded file is the one the manifest describes, else why it is not.
// A connection cut short can look like a complete download, so the size the server
// announced for the file is held against what arrived.
QString MainWindow::downloadedComponentFault() const
{
    const Component &component = m_deviceUpdates.value(m_currentUpdate);
    const qint64 received = QFileInfo(component.filePath).size();
    if (component.size != 0 && uint64_t(received) != component.size)
        return QStringLiteral("MainWindow: Downloaded %1 has %2 bytes, expected %3 bytes.")
                .arg(componentTypeName(component.type))
                .arg(received)
                .arg(component.size);
    const QByteArray digest = m_downloadAgent->digests().value(0);
    if (!component.sha256.isEmpty() && digest != component.sha256)
        return QStringLiteral("MainWindow: Downloaded %1 has SHA-256 %2, expected %3.")
                .arg(componentTypeName(component.type), QString::fromLatin1(digest.toHex()),
                     QString::fromLatin1(component.sha256.toHex()));
    return QString();
}

void MainWindow::awaitUpdateMode()
{
    qDebug() << "Checking whether device ready for update...";
    m_updateMessage->warning(
            QStringLiteral("Waiting for the device to enter update mode...\n\n"
                           "Please DO NOT disconnect or power down the device!"));
    m_devAgent->checkReadyForUpdate();
}

void MainWindow::installNextComponent()
{
    const Component &component = m_deviceUpdates[m_currentUpdate];
    if (unsigned(component.type) >= 4) {
        qCritical() << "MainWindow::onDownloadFinished: Unexpected component type.";
        emit installFailure();
        return;
    }
    qDebug() << "Sending file type" << int(component.type) << "at" << component.filePath;
    m_devAgent->sendFile(DeviceFileType(component.type), component.filePath);
}

void MainWindow::awaitCompletion()
{
    Q_ASSERT_X(m_devAgent, "sources/gui/main_window_updater", "m_devAgent");
    int wait = m_devAgent->connection().model == 0 ? OrviRebootWaitMs : OrviPlusRebootWaitMs;
    if (m_rebootWaitForTesting > 0)
        wait = m_rebootWaitForTesting;
    m_rebootTimer.start(wait);
}

void MainWindow::warnManualRebootNeeded()
{
    Q_ASSERT_X(m_devAgent, "sources/gui/main_window_updater", "m_devAgent");
    m_updateMessage->warning(QStringLiteral("Please power-cycle the device now."));
}

void MainWindow::reportInstallProgress(float fraction, long total)
{
    m_installProgress->setValue(int(fraction * 100));
    if (total > 0)
        m_installLabel->setText(QStringLiteral("Installing (%1 KB)").arg(kilobytes(double(total))));
}

void MainWindow::forceInstallComponent(ComponentType type)
{
    const QString name = componentTypeName(type);
    const QString ending = requiredFileEnding(type);
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Select %1").arg(name), QDir::homePath(),
                                                      QStringLiteral("%1 (*%2)").arg(name, ending));
    if (path.isEmpty())
        return;
    if (!path.endsWith(ending, Qt::CaseSensitive)) {
        QMessageBox::critical(this, QStringLiteral("Invalid File"),
                              QStringLiteral("This file does not seem to be a valid ") + name, QMessageBox::Ok);
        return;
    }

    Component component;
    component.type = type;
    component.filePath = path;
    component.size = uint64_t(QFileInfo(path).size());
    m_deviceUpdates = {component};
    qDebug() << "About to upload" << name << "from:" << path;
    emit forceInstallComponentRequest();
}

void MainWindow::confirmAppUpdates()
{
    const bool automatic = m_appUpdateCheckIsAutomatic;
    const QVector<Component> entries = m_updateManager->components().value(UpdaterApp);
    const Component *newer = nullptr;
    for (const Component &entry : entries) {
        if (entry.type != ComponentType::MacApplication)
            continue;
        try {
            if (m_appVersion < SemanticVersion(entry.version)) {
                newer = &entry;
                break;
            }
        } catch (const SemanticVersion::error &) {
            qCritical() << "Failed parsing app update version!";
        }
    }

    if (newer == nullptr) {
        if (!automatic)
            popUpMessageAsync(QMessageBox::Information, QString(),
                              QStringLiteral("No updates available for Orvi Updater."));
        emit appUpdatesRejected();
        return;
    }

    m_appUpdateUrl = newer->url;
    auto *question = new QMessageBox(this);
    question->setModal(true);
    question->setText(QStringLiteral("New Orvi Updater version %1 is available.\n\nWould you like to quit this "
                                     "application and install the new version?\n\n")
                              .arg(newer->version));
    question->setIcon(QMessageBox::Information);
    question->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    connect(question, &QMessageBox::finished, question, &QObject::deleteLater);
    connect(question, &QMessageBox::finished, this, [this](int result) {
        if (result == QMessageBox::Yes)
            emit appUpdatesConfirmed();
        else
            emit appUpdatesRejected();
    });
    question->show();
}

void MainWindow::doAppUpdates()
{
    // The manifest comes over plain HTTP, so it must not be able to make the desktop
    // open a local file or run a handler of some other scheme.
    const QString scheme = m_appUpdateUrl.scheme();
    if (!m_appUpdateUrl.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        qCritical() << "App update URL invalid.";
        return;
    }
    if (!QDesktopServices::openUrl(m_appUpdateUrl)) {
        qCritical() << "Failed to open app update URL:" << m_appUpdateUrl;
        return;
    }
    QCoreApplication::quit();
}

} // namespace OrviPlus
