#ifndef ORVI_COMMAND_LINE_H
#define ORVI_COMMAND_LINE_H

#include "update/update_manifest.h"

#include <QString>
#include <QStringList>
#include <QUrl>

namespace OrviPlus {

// What the program was asked to do: open its window, or run one command without one.
struct CommandLine
{
    enum Command { Window, ListDevices, Check, Update, Install };

    Command command = Window;
    QString deviceSerial; // empty: the one device attached
    QUrl manifestUrl;     // empty: the one in the settings
    bool yes = false;
    bool json = false;
    QString installFile;
    ComponentType installType = ComponentType::McuFirmware;
};

// The exit statuses of a command, which scripts rely on.
enum CommandExit {
    ExitDone = 0, // for --check: updates are available
    ExitFailure = 1,
    ExitUsage = 2,
    ExitNoDevice = 3,
    ExitNothingToDo = 4,
    ExitAnotherCopy = 75,
};

// Answers --help and --version and reads the rest into *commandLine. Returns the exit status
// when the program has nothing more to do, else -1. Until the application object has taken
// its own options out of the arguments, pass reportErrors false: an option that is not ours
// is then left for the second call to judge.
int answerCommandLine(const QStringList &arguments, bool reportErrors, CommandLine *commandLine = nullptr);

} // namespace OrviPlus

#endif // ORVI_COMMAND_LINE_H
