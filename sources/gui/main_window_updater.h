#ifndef ORVI_MAIN_WINDOW_UPDATER_H
#define ORVI_MAIN_WINDOW_UPDATER_H

#include "platform/sleep_preventer.h"
#include "update/semantic_version.h"

#include <QMainWindow>
#include <QPixmap>

#include <memory>

QT_BEGIN_NAMESPACE
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStackedWidget;
QT_END_NAMESPACE

namespace OrviPlus {

class DeviceMonitor;
class DeviceStatusView;
class DownloadAgent;
class MessageBox;
class UpdateManager;

// The application's only window: a black side panel with the device logos and
// status, and three pages (connect prompt, update check and list, update progress).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);

    QSize sizeHint() const override;

    // Follows the download of the current component; fraction runs from 0 to 1.
    void reportDownloadProgress(int index, float fraction);

signals:
    void checkUpdatesRequest();

private:
    void setupGui();

    SemanticVersion m_appVersion;

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
    DownloadAgent *m_downloadAgent = nullptr;

    QPixmap m_origLogo;
    QPixmap m_plusLogo;

    // Kept for the life of the window, which main() deletes only as the process ends.
    std::unique_ptr<SleepPreventer> m_sleepPreventer;
};

} // namespace OrviPlus

#endif // ORVI_MAIN_WINDOW_UPDATER_H
