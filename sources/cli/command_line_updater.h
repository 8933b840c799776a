#ifndef ORVI_COMMAND_LINE_UPDATER_H
#define ORVI_COMMAND_LINE_UPDATER_H

#include "cli/command_line.h"
#include "device/device_info.h"
#include "device/device_monitor.h"
#include "engine/update_engine.h"
#include "engine/update_plan.h"
#include "update/update_manager.h"

#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QLockFile;
class QSocketNotifier;
QT_END_NAMESPACE

namespace OrviPlus {

class DeviceAgent;

// Runs one command of the command line on the update engine, as the window does with its
// buttons: the same device selection, plan, download checks, transfers and restart waits.
// What it finds goes to the output it is given, as lines or as one JSON document at the end;
// the program's log stays out of it.
class CommandLineUpdater : public QObject
{
    Q_OBJECT

public:
    // Where the command reads its answer and writes its results, and whether a person is there.
    struct Console
    {
        FILE *output = stdout;
        bool outputIsTerminal = false;
        bool inputIsTerminal = false;
    };

    // Makes the standard output the command's own: what the program logs, the protocol's
    // printed lines among it, goes to standard error instead, or nowhere when that is a
    // terminal, where it would only bury the command's own lines.
    static Console takeOverConsole();

    // The command runs only if it gets the lock that keeps a second copy out.
    CommandLineUpdater(const CommandLine &commandLine, const Console &console, QLockFile *lock,
                       const DeviceWaits &waits = DeviceWaits(), QObject *parent = nullptr);
    ~CommandLineUpdater() override;

    void start();
    // A termination signal: during a transfer the first one only warns, as stopping there may
    // leave the device without working firmware; otherwise it stops the command.
    void interrupt();

signals:
    void finished(int exitStatus);

private:
    void onFirstPoll();
    void onDeviceReady();
    void listDevices(const QVector<Connection> &connections);
    void onDeviceFailed(const QString &reason);
    void onCheckDone();
    void printPlan();
    void askToGoOn();
    void onAnswer();
    void startUpdate();
    void showStep(const QString &step, bool lasting = false);
    void onComponentInstalled();
    void onDeviceBack();
    void onUpdateFailed(const QString &reason);
    void finish(int exitStatus, const QString &error = QString());
    void print(const QString &text);
    QJsonObject deviceJson(const Connection &connection, const DeviceInfo &info) const;

    CommandLine m_commandLine;
    Console m_console;
    QLockFile *m_lock;
    DeviceMonitor m_monitor;
    UpdateManager m_manager;
    // Not for --list-devices, which opens every device itself.
    UpdateEngine *m_engine = nullptr;
    QTimer m_readyTimeout;
    bool m_polled = false;
    bool m_updateStarted = false;
    bool m_finished = false;
    bool m_warned = false;
    QString m_step;      // what the current component's line last said
    QString m_component; // the name of the component being updated

    // --list-devices: an agent for each device, and what each reported.
    std::vector<std::unique_ptr<DeviceAgent>> m_listAgents;
    QVector<QJsonObject> m_listedDevices;
    QVector<QString> m_listedTexts;
    int m_unanswered = 0;
    bool m_listFailed = false;

    DevicePlan m_plan;
    QVector<QString> m_results; // how each planned component fared
    QSocketNotifier *m_answer = nullptr;
};

} // namespace OrviPlus

#endif // ORVI_COMMAND_LINE_UPDATER_H
