#ifndef ORVI_APPLICATION_SETUP_H
#define ORVI_APPLICATION_SETUP_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

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

// Application name, organisation and window icon; needs the application object.
void setApplicationIdentity();

// Only one copy of the updater may talk to the device per user. On Linux the lock lives
// in the user's runtime folder or, where there is none, in a folder of the user's own
// under the temporary folder, which this creates; elsewhere in the temporary folder.
QString singleInstanceLockPath();

// Answers --help and --version and refuses unknown options. Returns the exit status
// when the program has nothing more to do, else -1. Until the application object has
// taken its own options out of the arguments, pass reportErrors false: an option that
// is not ours is then left for the second call to judge.
int answerCommandLine(const QStringList &arguments, bool reportErrors);

// SIGTERM, SIGINT and SIGHUP end the event loop as a normal quit does, so that everything
// is torn down and the lock released. Needs the application object.
void quitOnTerminationSignals();

// Tells the user that another copy already runs and waits until the message is dismissed.
void reportAnotherInstance();

} // namespace OrviPlus

#endif // ORVI_APPLICATION_SETUP_H
