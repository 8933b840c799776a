#include "gui/main_window_updater.h"

#include "device/device_monitor.h"
#include "gui/application_setup.h"
#include "gui/device_status_view.h"
#include "gui/message_box.h"
#include "update/download_agent.h"
#include "update/update_manager.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace OrviPlus {

namespace {

const QString appVersionText = QStringLiteral(ORVI_APP_VERSION);

// The device pictures are drawn large; the side panel shows the band that holds the model name.
QPixmap deviceLogo(const QString &resource)
{
    const QRect modelBand(100, 290, 800, 310);
    return QPixmap::fromImage(QImage(resource).copy(modelBand).scaledToWidth(200, Qt::SmoothTransformation));
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

} // namespace

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

    setupGui();

    m_sleepPreventer.reset(SleepPreventer::make());

    m_deviceMonitor->start();
}

QSize MainWindow::sizeHint() const
{
    return QSize(750, 500);
}

void MainWindow::reportDownloadProgress(int, float fraction)
{
    m_downloadProgress->setValue(int(fraction * 100));
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

    m_origLogo = deviceLogo(QStringLiteral(":/images/orvi_logo_orig.png"));
    m_plusLogo = deviceLogo(QStringLiteral(":/images/orvi_logo_plus.png"));
    m_origLogoLabel = new QLabel;
    m_origLogoLabel->setPixmap(m_origLogo);
    m_plusLogoLabel = new QLabel;
    m_plusLogoLabel->setPixmap(m_plusLogo);

    m_makerLogoLabel = new QLabel;
    m_makerLogoLabel->setPixmap(makerLogo());
    m_makerLogoLabel->setAlignment(Qt::AlignHCenter);

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

    // What the window shows while no device is known, with both logos and page 0;
    // the workflow rewrites these as it goes.
    m_connectLabel->setText(QStringLiteral("Please connect a ORVI device."));
    m_deviceStatusView->setText(QStringLiteral("No device connected"));
}

} // namespace OrviPlus
