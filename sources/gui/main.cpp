#include "cli/command_line.h"
#include "cli/command_line_updater.h"
#include "gui/application_setup.h"
#include "gui/main_window_updater.h"
#include "settings/configuration_manager.h"

#include <QApplication>
#include <QLocale>
#include <QLockFile>
#include <QTimer>

namespace {

// One command of the command line, without a display.
int runCommand(int argc, char *argv[], const OrviPlus::CommandLine &commandLine)
{
    const OrviPlus::CommandLineUpdater::Console console = OrviPlus::CommandLineUpdater::takeOverConsole();
    QCoreApplication app(argc, argv);
    OrviPlus::setApplicationNames();
    QLockFile lock(OrviPlus::singleInstanceLockPath());
    OrviPlus::ConfigurationManager settings;
    OrviPlus::CommandLineUpdater updater(commandLine, console, &lock);
    OrviPlus::watchTerminationSignals([&updater] { updater.interrupt(); });
    QObject::connect(&updater, &OrviPlus::CommandLineUpdater::finished, &app, &QCoreApplication::exit);
    QTimer::singleShot(0, &updater, &OrviPlus::CommandLineUpdater::start);
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    OrviPlus::registerMetaTypes();
    qInstallMessageHandler(OrviPlus::writeMessageToConsole);

    // --help, --version and the commands need no display; Qt's own options are known only to
    // the window's application object.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    OrviPlus::CommandLine commandLine;
    const int answered = OrviPlus::answerCommandLine(arguments, false, &commandLine);
    if (answered >= 0)
        return answered;
    if (commandLine.command != OrviPlus::CommandLine::Window)
        return runCommand(argc, argv, commandLine);

    QApplication app(argc, argv);
    const int refused = OrviPlus::answerCommandLine(QCoreApplication::arguments(), true);
    if (refused >= 0)
        return refused;
    OrviPlus::quitOnTerminationSignals();
    OrviPlus::setApplicationIdentity();
    OrviPlus::installTranslations(QLocale::system());

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
