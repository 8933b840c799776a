#include "gui/application_setup.h"
#include "gui/main_window_updater.h"
#include "settings/configuration_manager.h"

#include <QApplication>
#include <QLockFile>

int main(int argc, char *argv[])
{
    OrviPlus::registerMetaTypes();
    qInstallMessageHandler(OrviPlus::writeMessageToConsole);

    // --help and --version need no display; Qt's own options are known only to the application.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const int answered = OrviPlus::answerCommandLine(arguments, false);
    if (answered >= 0)
        return answered;

    QApplication app(argc, argv);
    const int refused = OrviPlus::answerCommandLine(QCoreApplication::arguments(), true);
    if (refused >= 0)
        return refused;
    OrviPlus::quitOnTerminationSignals();
    OrviPlus::setApplicationIdentity();

    QLockFile lock(OrviPlus::singleInstanceLockPath());
    if (!lock.tryLock(0)) {
        OrviPlus::reportAnotherInstance();
        return 0;
    }
    // Ours for as long as we run: another copy must never take it over as stale.
    lock.setStaleLockTime(0);

    // The window reads its settings through the singleton, so it comes first and goes last.
    auto *settings = new OrviPlus::ConfigurationManager;
    auto *window = new OrviPlus::MainWindow;
    window->show();

    const int result = app.exec();

    delete window;
    delete settings;
    return result;
}
