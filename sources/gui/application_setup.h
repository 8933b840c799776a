#ifndef ORVI_APPLICATION_SETUP_H
#define ORVI_APPLICATION_SETUP_H

#include <QString>
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

// Only one copy of the updater may talk to the device per user temporary folder.
QString singleInstanceLockPath();

// Tells the user that another copy already runs and waits until the message is dismissed.
void reportAnotherInstance();

} // namespace OrviPlus

#endif // ORVI_APPLICATION_SETUP_H
