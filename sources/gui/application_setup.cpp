#include "gui/application_setup.h"

#include "device/device_info.h"
#include "gui/prepared_images.h"
#include "platform/qt_compat.h"
#include "update/working_folder.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTranslator>

#include <cerrno>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

// The resources live in a static library, so nothing would pull them into the
// program without this call, which must be made outside any namespace.
static void initImageResourcesOutsideNamespace()
{
    Q_INIT_RESOURCE(prepared_images);
}

static void initTranslationResourcesOutsideNamespace()
{
    Q_INIT_RESOURCE(translations);
}

namespace OrviPlus {

namespace {

#ifdef Q_OS_UNIX
// Written to by the signal handler, read by the event loop.
int terminationPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 0;
    // A full pipe already holds a request to quit.
    const ssize_t written = write(terminationPipe[1], &byte, 1);
    static_cast<void>(written);
    errno = savedErrno;
}
#endif

QString singleInstanceLockFolder()
{
#ifdef Q_OS_LINUX
    // In the shared temporary folder one user's lock, or one left behind by a killed copy
    // that others may not remove, would keep every other user out.
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (!runtime.isEmpty())
            return runtime;
    }
    const QString own = QDir::tempPath() + QStringLiteral("/orvi-updater-") + QString::number(geteuid());
    if (makePrivateFolder(own, "Lock folder"))
        return own;
#endif
    return QDir::tempPath();
}

} // namespace

void registerMetaTypes()
{
    qRegisterMetaType<OrviPlus::DeviceInfo>("OrviPlus::DeviceInfo");
}

void writeMessageToConsole(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // One call per line: the stream's lock then keeps lines of other threads, and the
    // protocol's own output, from landing inside it.
    const QByteArray line = message.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

void initImageResources()
{
    initImageResourcesOutsideNamespace();
}

void setApplicationNames()
{
    QCoreApplication::setApplicationName(QStringLiteral("Orvi Updater"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("brevanto.example"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brevanto"));
}

QString desktopEntryName()
{
    return QStringLiteral("example.brevanto.OrviUpdater");
}

void setApplicationIdentity()
{
    setApplicationNames();
    // Lets Wayland desktops match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(desktopEntryName());

    initImageResources();
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(preparedPicture(QStringLiteral("updater_icon")))));
}

void installTranslations(const QLocale &locale)
{
    initTranslationResourcesOutsideNamespace();
    // Qt's own texts (the buttons of dialogs) come from the system's Qt translations, where installed.
    const std::pair<QString, QString> catalogues[] = {
            {QStringLiteral("orvi-updater"), QStringLiteral(":/translations")},
            {QStringLiteral("qtbase"), qtLibraryPath(QLibraryInfo::TranslationsPath)}};
    for (const auto &[name, folder] : catalogues) {
        auto *translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(locale, name, QStringLiteral("_"), folder))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}

QString singleInstanceLockPath()
{
    return singleInstanceLockFolder() + QStringLiteral("/brevanto_orvi_updater_single_instance_lock");
}

void watchTerminationSignals(std::function<void()> onSignal)
{
#ifdef Q_OS_UNIX
    // pipe2() is missing on macOS.
    if (pipe(terminationPipe) != 0) {
        qCritical() << "Cannot watch for termination signals.";
        return;
    }
    for (const int end : terminationPipe) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
    }
    auto *notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignal] {
        char pending[16];
        while (read(terminationPipe[0], pending, sizeof pending) > 0) {
        }
        onSignal();
    });

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        // A signal ignored by whoever started us (nohup, a background job) stays ignored.
        struct sigaction current;
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaction(signalNumber, &action, nullptr);
    }
#else
    Q_UNUSED(onSignal);
#endif
}

void quitOnTerminationSignals()
{
    watchTerminationSignals([] {
        qDebug() << "Termination signal: quitting.";
        // Not quit: since Qt 6 that asks every window to close, and the window would ask the user.
        QCoreApplication::exit(0);
    });
}

void reportAnotherInstance()
{
    const char text[] = QT_TRANSLATE_NOOP("OrviPlus::ApplicationSetup",
                                          "Another instance of the application is already running.");
    qDebug().noquote() << text;
    QMessageBox::critical(nullptr, QString(), QCoreApplication::translate("OrviPlus::ApplicationSetup", text),
                          QMessageBox::Ok, QMessageBox::NoButton);
}

} // namespace OrviPlus
