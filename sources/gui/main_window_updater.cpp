#include "gui/main_window_updater.h"

#include "device/device_monitor.h"
#include "engine/version_text.h"
#include "gui/application_setup.h"
#include "gui/device_status_view.h"
#include "gui/message_box.h"
#include "gui/prepared_images.h"
#include "platform/desktop_notifier.h"
#include "settings/configuration_manager.h"
#include "update/update_manager.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDebug>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSignalTransition>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <optional>
#include <utility>

namespace OrviPlus {

namespace {

const QString appVersionText = QStringLiteral(ORVI_APP_VERSION);

} // namespace

MainWindow::MainWindow(const DeviceWaits &waits, QWidget *parent)
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
    m_engine = new UpdateEngine(m_deviceMonitor, waits, this);
    connect(m_engine, &UpdateEngine::componentStarted, this, &MainWindow::showComponent);
    connect(m_engine, &UpdateEngine::downloadProgress, this, &MainWindow::reportDownloadProgress);
    connect(m_engine, &UpdateEngine::installProgress, this, &MainWindow::reportInstallProgress);
    m_notifier = new DesktopNotifier(desktopEntryName(), this);

    setupGui();
    setupMenus();
    setupStateMachine();

    m_stateMachine.start();
    // Polling starts once the window is up: its first look at the bus would compete with showing it.
    QTimer::singleShot(0, m_deviceMonitor, &DeviceMonitor::start);
    // The self-update region starts by checking; that first check is the automatic one.
    m_appUpdateCheckIsAutomatic = true;
}

QSize MainWindow::sizeHint() const
{
    return QSize(750, 500);
}

bool MainWindow::updateIsInProgress() const
{
    return m_engine->isUpdating();
}

void MainWindow::setupGui()
{
    initImageResources();
    // Page 0: the one centred prompt.
    m_connectLabel = new QLabel;
    m_connectLabel->setAlignment(Qt::AlignCenter);

    m_deviceStatusView = new DeviceStatusView;
    m_deviceStatusView->setObjectName(QStringLiteral("deviceInfo"));
    m_deviceStatusView->setStyleSheet(QStringLiteral(" #deviceInfo QLabel { color: white; margin: 10 } "));
    m_deviceStatusView->setAccessibleName(tr("Device status"));

    // Page 1: update check and the planned updates.
    m_checkUpdatesButton = new QPushButton(tr("Check for Latest Updates"));
    connect(m_checkUpdatesButton, &QPushButton::clicked, this, &MainWindow::checkUpdatesRequest);
    m_checkUpdatesButton->setAccessibleDescription(
            tr("Fetches the list of updates from the server and compares it with the device."));
    m_warningMessage = new MessageBox;
    m_warningMessage->setAccessibleName(tr("Warnings"));
    m_checkMessage = new MessageBox;
    m_checkMessage->setAccessibleName(tr("Update check"));
    m_updateList = new QListWidget;
    m_updateList->setAccessibleName(tr("Available updates"));
    m_startUpdateButton = new QPushButton(tr("Start Update"));
    m_startUpdateButton->setAccessibleDescription(tr("Installs the listed components on the device one by one."));
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
    // Screen readers announce a bar by its name and read its value.
    m_downloadProgress->setAccessibleName(tr("Download progress"));
    m_installLabel = new QLabel;
    m_installProgress = new QProgressBar;
    m_installProgress->setRange(0, 100);
    m_installProgress->setAccessibleName(tr("Installation progress"));
    m_updateMessage = new MessageBox;
    m_updateMessage->setAccessibleName(tr("Update status"));

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

    // The panel's pictures are made at build time from the drawings in images/ (prepared_images.h).
    m_makerLogoLabel = new QLabel;
    m_makerLogoLabel->setPixmap(QPixmap::fromImage(preparedPicture(QStringLiteral("brevanto_logo"))));
    m_makerLogoLabel->setAlignment(Qt::AlignHCenter);
    m_makerLogoLabel->setAccessibleName(QStringLiteral("Brevanto"));

    m_origLogo = QPixmap::fromImage(preparedPicture(QStringLiteral("orvi_logo_orig")));
    m_plusLogo = QPixmap::fromImage(preparedPicture(QStringLiteral("orvi_logo_plus")));
    m_origLogoLabel = new QLabel;
    m_origLogoLabel->setPixmap(m_origLogo);
    m_origLogoLabel->setAccessibleName(modelName(0));
    m_plusLogoLabel = new QLabel;
    m_plusLogoLabel->setPixmap(m_plusLogo);
    m_plusLogoLabel->setAccessibleName(modelName(1));

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
        QAction *install = m_advancedMenu->addAction(tr("Install %1...").arg(componentDisplayName(type)));
        m_installActions->addAction(install);
        connect(install, &QAction::triggered, this, [this, type] { forceInstallComponent(type); });
    }
    m_advancedMenu->addSeparator();
    QAction *listAll = m_advancedMenu->addAction(tr("List All Components"));
    m_installActions->addAction(listAll);
    connect(listAll, &QAction::triggered, this, &MainWindow::forceInstallAllComponentsRequest);
    m_advancedMenu->addSeparator();
    QAction *manifestUrl = m_advancedMenu->addAction(tr("Set Manifest URL..."));
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

    auto *advancedShortcut = new QShortcut(QKeySequence(Qt::META | Qt::Key_A), this);
    connect(advancedShortcut, &QShortcut::activated, this, [this] { m_advancedMenu->popup(QCursor::pos()); });
}

void MainWindow::setupStateMachine()
{
    const auto onEntry = [this](QState *state, auto action) { connect(state, &QState::entered, this, action); };
    const auto endsUpdateWith = [this](QAbstractTransition *transition, const QString &title, const QString &text) {
        connect(transition, &QAbstractTransition::triggered, this,
                [this, title, text] { reportUpdateFailure(title, text); });
    };

    // Qt's machine itself cannot be parallel, so one parallel state holds the four regions.
    auto *regions = new QState(QState::ParallelStates, &m_stateMachine);
    m_stateMachine.setInitialState(regions);
    auto *deviceLink = new QState(regions);
    auto *statusPanel = new QState(regions);
    auto *mainPage = new QState(regions);
    auto *appUpdate = new QState(regions);

    // Which device the engine has taken up.
    auto *noDevice = new QState(deviceLink);
    auto *selectingDevice = new QState(deviceLink);
    auto *deviceSelected = new QState(deviceLink);
    deviceLink->setInitialState(noDevice);
    noDevice->addTransition(m_engine, &UpdateEngine::deviceFound, selectingDevice);
    selectingDevice->addTransition(m_engine, &UpdateEngine::deviceReady, deviceSelected);
    // The reason, kept before the machine sees the signal, says what the user can do about it.
    connect(m_engine, &UpdateEngine::deviceFailed, this, [this](const QString &reason) { m_deviceFailure = reason; });
    connect(selectingDevice->addTransition(m_engine, &UpdateEngine::deviceFailed, noDevice),
            &QAbstractTransition::triggered, this, [this] {
                popUpMessageAsync(QMessageBox::Critical, tr("Connection Failure"),
                                  tr("Failed to connect to device."), m_deviceFailure);
            });
    selectingDevice->addTransition(m_engine, &UpdateEngine::deviceLost, noDevice);
    deviceSelected->addTransition(m_engine, &UpdateEngine::deviceLost, noDevice);

    // What the side panel shows.
    auto *statusNoDevice = new QState(statusPanel);
    auto *statusWaiting = new QState(statusPanel);
    auto *statusShowingInfo = new QState(statusPanel);
    statusPanel->setInitialState(statusNoDevice);
    statusNoDevice->assignProperty(m_origLogoLabel, "visible", true);
    statusNoDevice->assignProperty(m_plusLogoLabel, "visible", true);
    statusNoDevice->assignProperty(m_deviceStatusView, "text", tr("No device connected"));
    statusWaiting->assignProperty(m_deviceStatusView, "text", tr("Waiting..."));
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

    connectPrompt->assignProperty(m_connectLabel, "text", tr("Please connect a ORVI device."));
    connectPrompt->assignProperty(m_pages, "currentIndex", 0);
    connectPrompt->assignProperty(m_checkAppUpdateAction, "enabled", true);
    waitingForDevice->assignProperty(m_connectLabel, "text",
                                     tr("Waiting for the ORVI device to get ready..."));
    devicePage->assignProperty(m_pages, "currentIndex", 1);
    checkingForUpdates->assignProperty(m_checkMessage, "text", tr("Checking for latest updates..."));
    checkingForUpdates->assignProperty(m_checkMessage, "mode", MessageBox::Information);
    checkingForUpdates->assignProperty(m_checkUpdatesButton, "enabled", false);
    checkingForUpdates->assignProperty(m_warningMessage, "mode", MessageBox::Hidden);
    checkingForUpdates->assignProperty(m_checkAppUpdateAction, "enabled", false);
    updatesShown->assignProperty(m_checkUpdatesButton, "enabled", true);
    updatesShown->assignProperty(m_installActions, "enabled", true);
    updatesShown->assignProperty(m_checkAppUpdateAction, "enabled", true);
    noUpdatesShown->assignProperty(m_startUpdateButton, "enabled", false);
    updatesAvailableShown->assignProperty(m_startUpdateButton, "enabled", true);
    // Quitting for a new version of the program must wait until the device is done.
    updating->assignProperty(m_checkAppUpdateAction, "enabled", false);
    updating->assignProperty(m_pages, "currentIndex", 2);
    updating->assignProperty(m_downloadLabel, "visible", true);
    updating->assignProperty(m_downloadProgress, "visible", true);
    updating->assignProperty(m_updateMessage, "text",
                             tr("Please do NOT disconnect or power down the device!"));
    updating->assignProperty(m_updateMessage, "mode", MessageBox::Warning);
    selectingComponent->assignProperty(m_updateMessage, "mode", MessageBox::Hidden);
    installingComponent->assignProperty(
            m_updateMessage, "text",
            tr("Update in progress...\n\nPlease DO NOT disconnect or power down the device!"));
    installingComponent->assignProperty(m_updateMessage, "mode", MessageBox::Warning);
    awaitingCompletion->assignProperty(m_updateMessage, "mode", MessageBox::Warning);
    awaitingCompletion->assignProperty(m_updateMessage, "text",
                                       tr("Waiting for confirmation that the update is finished...\n\n"
                                          "Please DO NOT disconnect or power down the device!"));
    awaitingReboot->assignProperty(m_updateMessage, "mode", MessageBox::Information);
    awaitingReboot->assignProperty(m_updateMessage, "text", tr("Waiting for the device to reboot..."));

    onEntry(devicePresent, &MainWindow::clearDeviceUpdates);
    connect(devicePresent, &QState::exited, this, &MainWindow::clearDeviceUpdates);
    onEntry(discoveringUpdates, &MainWindow::discoverDeviceUpdates);
    onEntry(planningUpdates, [this] { prepareDeviceUpdates(false); });
    onEntry(discoveringAllUpdates, &MainWindow::discoverDeviceUpdates);
    onEntry(planningAllUpdates, [this] { prepareDeviceUpdates(true); });
    onEntry(noUpdatesShown, &MainWindow::displayDeviceUpdates);
    onEntry(updatesAvailableShown, &MainWindow::displayDeviceUpdates);
    connect(updatesShown, &QState::exited, m_installActions, [this] { m_installActions->setEnabled(false); });
    // Entered again after each restart, when the engine goes on by itself.
    onEntry(selectingComponent, [this] {
        if (!m_engine->isUpdating())
            m_engine->startUpdate(m_plan.components);
    });
    onEntry(awaitingUpdateMode, [this] {
        m_updateMessage->warning(tr("Waiting for the device to enter update mode...\n\n"
                                    "Please DO NOT disconnect or power down the device!"));
    });
    onEntry(installFailed, [this] {
        reportUpdateFailure(tr("Update Failure"), tr("The update could not be completed."));
    });
    onEntry(awaitingManualReboot,
            [this] { m_updateMessage->warning(tr("Please power-cycle the device now.")); });

    const QString downloadFailureTitle = tr("Download Failure");
    const QString downloadFailureText = tr("Failed to download updates.");
    const QString rebootFailureTitle = tr("Reboot Failure");
    const QString rebootFailureText = tr("The device failed to reboot after update.");
    connectPrompt->addTransition(selectingDevice, &QState::entered, waitingForDevice);
    waitingForDevice->addTransition(deviceSelected, &QState::entered, devicePresent);
    waitingForDevice->addTransition(noDevice, &QState::entered, connectPrompt);
    devicePresent->addTransition(noDevice, &QState::entered, connectPrompt);
    discoveringUpdates->addTransition(m_updateManager, &UpdateManager::updateDiscoveryDone, planningUpdates);
    discoveringAllUpdates->addTransition(m_updateManager, &UpdateManager::updateDiscoveryDone, planningAllUpdates);
    connect(checkingForUpdates->addTransition(m_updateManager, &UpdateManager::failure, noUpdatesShown),
            &QAbstractTransition::triggered, this, [this] {
                popUpMessageAsync(QMessageBox::Critical, tr("Update Check Failure"),
                                  tr("Failed to check for updates!"), m_updateManager->failureReason());
            });
    checkingForUpdates->addTransition(this, &MainWindow::updatesAvailable, updatesAvailableShown);
    checkingForUpdates->addTransition(this, &MainWindow::noUpdatesAvailable, noUpdatesShown);
    noUpdatesShown->addTransition(this, &MainWindow::checkUpdatesRequest, discoveringUpdates);
    updatesAvailableShown->addTransition(this, &MainWindow::checkUpdatesRequest, discoveringUpdates);
    updatesAvailableShown->addTransition(m_startUpdateButton, &QPushButton::clicked, updating);
    updatesShown->addTransition(this, &MainWindow::forceInstallComponentRequest, updating);
    updatesShown->addTransition(this, &MainWindow::forceInstallAllComponentsRequest, discoveringAllUpdates);
    selectingComponent->addTransition(m_engine, &UpdateEngine::componentStarted, downloadingComponent);
    connect(selectingComponent->addTransition(m_engine, &UpdateEngine::updateFinished, checkingForUpdates),
            &QAbstractTransition::triggered, this, [this] {
                reportUpdateEnd(tr("Update finished"),
                                tr("All components were installed on the %1.")
                                        .arg(modelName(m_engine->deviceInfo().model)));
            });
    endsUpdateWith(downloadingComponent->addTransition(m_engine, &UpdateEngine::downloadFailed, checkingForUpdates),
                   downloadFailureTitle, downloadFailureText);
    downloadingComponent->addTransition(m_engine, &UpdateEngine::componentDownloaded, awaitingUpdateMode);
    awaitingUpdateMode->addTransition(m_engine, &UpdateEngine::deviceReadyForUpdate, installingComponent);
    installingComponent->addTransition(m_engine, &UpdateEngine::installFailed, installFailed);
    installingComponent->addTransition(m_engine, &UpdateEngine::componentInstalled, awaitingCompletion);
    installFailed->addTransition(checkingForUpdates);
    // The device leaving now is its restart.
    awaitingCompletion->addTransition(noDevice, &QState::entered, awaitingReboot);
    awaitingCompletion->addTransition(m_engine, &UpdateEngine::restartOverdue, awaitingManualReboot);
    awaitingManualReboot->addTransition(noDevice, &QState::entered, awaitingReboot);
    endsUpdateWith(awaitingManualReboot->addTransition(m_engine, &UpdateEngine::rebootFailed, checkingForUpdates),
                   rebootFailureTitle, rebootFailureText);
    awaitingReboot->addTransition(deviceSelected, &QState::entered, selectingComponent);
    // Back, but it failed to open or went away again; or it never came back.
    endsUpdateWith(awaitingReboot->addTransition(noDevice, &QState::entered, connectPrompt), rebootFailureTitle,
                   rebootFailureText);
    endsUpdateWith(awaitingReboot->addTransition(m_engine, &UpdateEngine::rebootFailed, connectPrompt),
                   rebootFailureTitle, rebootFailureText);

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
                              tr("Failed to check for new version of Orvi Updater."),
                              m_updateManager->failureReason());
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
    QMessageBox::about(this, tr("About %1").arg(name),
                       tr("<b>%1 version %2</b>").arg(name, appVersionText));
}

void MainWindow::setManifestUrl()
{
    ConfigurationManager *configuration = ConfigurationManager::m_instance;
    QString text = configuration->updateManifestUrl().toString();
    for (;;) {
        bool accepted = false;
        text = QInputDialog::getText(this, tr("Set Manifest URL"),
                                     tr("Please enter the URL of the update manifest file."),
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
        QMessageBox::critical(this, tr("Invalid Manifest URL"),
                              tr("The entered text is not a valid URL. Please enter a valid URL."),
                              QMessageBox::Ok);
    }
}

void MainWindow::popUpMessageAsync(QMessageBox::Icon icon, const QString &title, const QString &text,
                                   const QString &detailedText)
{
    auto *box = new QMessageBox(this);
    box->setModal(true);
    box->setText(text);
    box->setDetailedText(detailedText);
    box->setWindowTitle(title);
    box->setIcon(icon);
    connect(box, &QMessageBox::finished, box, &QObject::deleteLater);
    box->show();
}

void MainWindow::reportUpdateEnd(const QString &summary, const QString &body)
{
    // The window or one of its boxes in front: the user sees it there already.
    if (!QApplication::activeWindow())
        m_notifier->notify(summary, body);
}

void MainWindow::reportUpdateFailure(const QString &title, const QString &text)
{
    reportUpdateEnd(title, text);
    popUpMessageAsync(QMessageBox::Critical, title, text);
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

void MainWindow::showDeviceStatus()
{
    const DeviceInfo info = m_engine->deviceInfo();
    m_deviceStatusView->setInfo(info);
    if (info.model != 0)
        m_origLogoLabel->hide();
    else
        m_plusLogoLabel->hide();
}

void MainWindow::clearDeviceUpdates()
{
    m_lastCheckTime = QDateTime();
    m_plan = DevicePlan();
}

void MainWindow::discoverDeviceUpdates()
{
    clearDeviceUpdates();
    displayDeviceUpdates();
    m_updateManager->check();
}

void MainWindow::prepareDeviceUpdates(bool listAll)
{
    const DeviceInfo info = m_engine->deviceInfo();
    m_lastCheckTime = m_updateManager->lastCheck();
    m_plan = planDeviceUpdates(info, m_updateManager->components(), listAll);
    if (m_plan.components.isEmpty())
        emit noUpdatesAvailable();
    else
        emit updatesAvailable();
}

void MainWindow::displayDeviceUpdates()
{
    m_updateList->clear();

    if (m_plan.warnings.isEmpty())
        m_warningMessage->clear();
    else
        m_warningMessage->warning(tr("WARNING:") + QLatin1Char('\n') + m_plan.warnings.join(QLatin1Char('\n')));

    //: How the time of the last check is written (QDateTime::toString); the English one is Qt::TextDate.
    const QString checkTime = m_lastCheckTime.toString(tr("ddd MMM d HH:mm:ss yyyy"));
    if (!m_plan.components.isEmpty())
        m_checkMessage->info(
                tr("The following components can be updated (last checked on %1):").arg(checkTime));
    else if (m_lastCheckTime.isValid())
        m_checkMessage->info(tr("No updates available (last checked on %1).").arg(checkTime));
    else
        m_checkMessage->clear();

    for (const Component &component : std::as_const(m_plan.components)) {
        auto *line = new QListWidgetItem(planLine(component), m_updateList);
        line->setFlags(Qt::ItemIsEnabled);
    }
}

void MainWindow::showComponent()
{
    const Component component = m_engine->currentComponent();
    m_updateTitleLabel->setText(tr("Updating %1 (Component %2/%3)")
                                        .arg(componentDisplayName(component.type))
                                        .arg(m_engine->componentIndex() + 1)
                                        .arg(m_engine->componentCount()));
    m_downloadProgress->setValue(0);
    m_installProgress->setValue(0);
    m_downloadLabel->setText(component.size != 0 ? tr("Downloading (%1 KB)").arg(kilobytes(component.size))
                                                 : tr("Downloading"));
    m_installLabel->setText(tr("Installing"));
}

void MainWindow::reportDownloadProgress(float fraction)
{
    m_downloadProgress->setValue(int(fraction * 100));
}

void MainWindow::reportInstallProgress(float fraction, long total)
{
    m_installProgress->setValue(int(fraction * 100));
    if (total > 0)
        m_installLabel->setText(tr("Installing (%1 KB)").arg(kilobytes(uint64_t(total))));
}

void MainWindow::forceInstallComponent(ComponentType type)
{
    const QString name = componentDisplayName(type);
    const QString ending = requiredFileEnding(type);
    const QString path = QFileDialog::getOpenFileName(this, tr("Select %1").arg(name), QDir::homePath(),
                                                      QStringLiteral("%1 (*%2)").arg(name, ending));
    if (path.isEmpty())
        return;
    if (!path.endsWith(ending, Qt::CaseSensitive)) {
        QMessageBox::critical(this, tr("Invalid File"),
                              tr("This file does not seem to be a valid %1").arg(name), QMessageBox::Ok);
        return;
    }

    m_plan = DevicePlan{{localComponent(type, path)}, {}};
    qDebug() << "About to upload" << componentTypeName(type) << "from:" << path;
    emit forceInstallComponentRequest();
}

void MainWindow::confirmAppUpdates()
{
    const bool automatic = m_appUpdateCheckIsAutomatic;
    // A check that ends during an update says nothing: answering it would quit mid-transfer.
    const std::optional<Component> newer =
            m_engine->isUpdating() ? std::nullopt
                                   : newerApplication(m_appVersion, m_updateManager->components().value(UpdaterApp));
    if (!newer) {
        if (!automatic && !m_engine->isUpdating())
            popUpMessageAsync(QMessageBox::Information, QString(),
                              tr("No updates available for Orvi Updater."));
        emit appUpdatesRejected();
        return;
    }

    m_appUpdateUrl = newer->url;
    auto *question = new QMessageBox(this);
    question->setModal(true);
    question->setText(tr("New Orvi Updater version %1 is available.\n\nWould you like to quit this "
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
    if (m_engine->isUpdating()) {
        qCritical() << "Not quitting for a new version while the device is updated.";
        return;
    }
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
    // exit, not quit, which since Qt 6 first asks every window to close.
    QCoreApplication::exit(0);
}

} // namespace OrviPlus
