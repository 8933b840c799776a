#ifndef ORVI_APPLICATION_SETUP_H
#define ORVI_APPLICATION_SETUP_H

#include <QString>
#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QLocale;
QT_END_NAMESPACE

#include <functional>

// The steps of start-up that main() strings together, kept here so that tests can run them.
namespace OrviPlus {

// Lets a DeviceInfo travel in queued signals from the device threads to the window.
// Must run before the application object exists.
void registerMetaTypes();

// Message handler: every log message, whatever its level, becomes one line on
// standard output, without prefix.
void writeMessageToConsole(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Makes the compiled-in images available; calling it again does no harm.
void initImageResources();

// Shows the window, its pop-ups and Qt's dialogs in the language of locale where a
// translation exists, else in English. Needs the application object and must come before the
// window. The command line never calls it: its output stays English.
void installTranslations(const QLocale &locale);

// Application name and organisation, which name the settings; needs the application object.
void setApplicationNames();

// The name of the program's desktop entry, which also names its icon in the icon theme.
QString desktopEntryName();

// The names, and what the desktop shows of the window: its icon and desktop entry. Needs the
// GUI application object.
void setApplicationIdentity();

// Only one copy of the updater may talk to the device per user. On Linux the lock lives
// in the user's runtime folder or, where there is none, in a folder of the user's own
// under the temporary folder, which this creates; elsewhere in the temporary folder.
QString singleInstanceLockPath();

// Calls onSignal from the event loop for each SIGTERM, SIGINT and SIGHUP that arrives.
// Needs the application object.
void watchTerminationSignals(std::function<void()> onSignal);

// SIGTERM, SIGINT and SIGHUP end the event loop as a normal quit does, so that everything
// is torn down and the lock released. Needs the application object.
void quitOnTerminationSignals();

// Tells the user that another copy already runs and waits until the message is dismissed.
void reportAnotherInstance();

} // namespace OrviPlus

#endif // ORVI_APPLICATION_SETUP_H
