#include "gui/application_setup.h"

#include "device/device_info.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>

// The resources live in a static library, so nothing would pull them into the
// program without this call, which must be made outside any namespace.
static void initImageResourcesOutsideNamespace()
{
    Q_INIT_RESOURCE(images);
}

namespace OrviPlus {

void registerMetaTypes()
{
    qRegisterMetaType<OrviPlus::DeviceInfo>("OrviPlus::DeviceInfo");
}

void writeMessageToConsole(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = message.toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void initImageResources()
{
    initImageResourcesOutsideNamespace();
}

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Orvi Updater"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("brevanto.example"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brevanto"));
    // Lets Wayland desktops match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.brevanto.OrviUpdater"));

    initImageResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/images/updater_icon_256.png"), QSize(), QIcon::Normal, QIcon::Off);
    QApplication::setWindowIcon(icon);
}

QString singleInstanceLockPath()
{
    return QDir::tempPath() + QStringLiteral("/brevanto_orvi_updater_single_instance_lock");
}

void reportAnotherInstance()
{
    const QString text = QStringLiteral("Another instance of the application is already running.");
    qDebug().noquote() << text;
    QMessageBox::critical(nullptr, QString(), text, QMessageBox::Ok, QMessageBox::NoButton);
}

} // namespace OrviPlus
