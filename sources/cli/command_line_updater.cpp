#include "cli/command_line_updater.h"

#include "device/device_agent.h"
#include "engine/version_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSocketNotifier>

#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace OrviPlus {

namespace {

// A device that does not finish its handshake by then is reported rather than waited for.
const int ReadyTimeoutMs = 30000;

const char *commandName(CommandLine::Command command)
{
    switch (command) {
    case CommandLine::ListDevices:
        return "list-devices";
    case CommandLine::Check:
        return "check";
    case CommandLine::Update:
        return "update";
    case CommandLine::Install:
        return "install";
    default:
        return "";
    }
}

} // namespace

CommandLineUpdater::Console CommandLineUpdater::takeOverConsole()
{
    std::fflush(stdout);
    Console console;
    const int own = ::dup(STDOUT_FILENO);
    console.outputIsTerminal = ::isatty(own);
    console.inputIsTerminal = ::isatty(STDIN_FILENO);
    const int log = ::isatty(STDERR_FILENO) ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : ::dup(STDERR_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::close(log);
    ::fcntl(own, F_SETFD, FD_CLOEXEC);
    console.output = ::fdopen(own, "w");
    return console;
}

CommandLineUpdater::CommandLineUpdater(const CommandLine &commandLine, const Console &console, QLockFile *lock,
                                       const DeviceWaits &waits, QObject *parent)
    : QObject(parent)
    , m_commandLine(commandLine)
    , m_console(console)
    , m_lock(lock)
{
    if (!commandLine.manifestUrl.isEmpty())
        m_manager.setManifestUrl(commandLine.manifestUrl);
    connect(&m_monitor, &DeviceMonitor::polled, this, &CommandLineUpdater::onFirstPoll);
    connect(&m_manager, &UpdateManager::updateDiscoveryDone, this, &CommandLineUpdater::onCheckDone);
    connect(&m_manager, &UpdateManager::failure, this, [this] {
        finish(ExitFailure, QStringLiteral("The update check failed. %1").arg(m_manager.failureReason()));
    });
    m_readyTimeout.setSingleShot(true);
    connect(&m_readyTimeout, &QTimer::timeout, this, [this] {
        finish(ExitFailure, QStringLiteral("The device did not answer. Unplug it, plug it in again and try again."));
    });
    if (commandLine.command == CommandLine::ListDevices)
        return;

    m_engine = new UpdateEngine(&m_monitor, waits, this);
    UpdateEngine *engine = m_engine;
    engine->setAcceptedSerial(commandLine.deviceSerial);
    connect(engine, &UpdateEngine::deviceReady, this, &CommandLineUpdater::onDeviceReady);
    connect(engine, &UpdateEngine::deviceFailed, this, &CommandLineUpdater::onDeviceFailed);
    connect(engine, &UpdateEngine::deviceLost, this, [this] {
        if (!m_engine->isUpdating())
            finish(ExitFailure, QStringLiteral("The device went away%1. Plug it in again and run the command again.")
                                        .arg(m_updateStarted ? QStringLiteral(" during the update") : QString()));
    });
    connect(engine, &UpdateEngine::componentStarted, this, [this] {
        m_component = componentTypeName(m_engine->currentComponent().type);
        showStep(QStringLiteral("downloading"));
    });
    connect(engine, &UpdateEngine::downloadProgress, this,
            [this](float fraction) { showStep(QStringLiteral("downloading %1%").arg(int(fraction * 100))); });
    connect(engine, &UpdateEngine::componentDownloaded, this,
            [this] { showStep(QStringLiteral("waiting for the device to be ready")); });
    connect(engine, &UpdateEngine::deviceReadyForUpdate, this, [this] { showStep(QStringLiteral("installing")); });
    connect(engine, &UpdateEngine::installProgress, this,
            [this](float fraction) { showStep(QStringLiteral("installing %1%").arg(int(fraction * 100))); });
    connect(engine, &UpdateEngine::componentInstalled, this, &CommandLineUpdater::onComponentInstalled);
    connect(engine, &UpdateEngine::restartOverdue, this, [this] {
        showStep(QStringLiteral("installed; waiting for the device to restart"), true);
        if (!m_commandLine.json)
            print(QStringLiteral("Please power-cycle the device now.\n"));
    });
    connect(engine, &UpdateEngine::updateFinished, this, [this] {
        if (!m_commandLine.json)
            print(QStringLiteral("Updated %1 components of %2 %3.\n")
                          .arg(m_results.size())
                          .arg(modelName(m_engine->device().model), m_engine->device().serialNumber));
        finish(ExitDone);
    });
    connect(engine, &UpdateEngine::downloadFailed, this, [this](const QString &reason) {
        onUpdateFailed(QStringLiteral("Downloading %1 failed: %2 Nothing was sent to the device; run the update "
                                      "again.")
                               .arg(m_component, reason));
    });
    connect(engine, &UpdateEngine::installFailed, this, [this](const QString &reason) {
        onUpdateFailed(QStringLiteral("Installing %1 failed: %2 Check the device's cable and run the update again.")
                               .arg(m_component, reason));
    });
    connect(engine, &UpdateEngine::rebootFailed, this, [this](const QString &reason) {
        onUpdateFailed(QStringLiteral("The device did not come back after %1: %2 Power-cycle it and run the update "
                                      "again.")
                               .arg(m_component, reason));
    });
}

CommandLineUpdater::~CommandLineUpdater() = default;

void CommandLineUpdater::start()
{
    const bool changes = m_commandLine.command == CommandLine::Update || m_commandLine.command == CommandLine::Install;
    if (changes && !m_commandLine.yes && !m_console.inputIsTerminal)
        return finish(ExitUsage, QStringLiteral("Nobody can be asked without a terminal: add --yes to update anyway."));
    if (!m_lock->tryLock(0))
        return finish(ExitAnotherCopy, QStringLiteral("Another copy of Orvi Updater is running; close it first."));
    // Ours for as long as we run: another copy must never take it over as stale.
    m_lock->setStaleLockTime(0);
    m_monitor.start();
}

void CommandLineUpdater::onFirstPoll()
{
    if (std::exchange(m_polled, true) || m_finished)
        return;
    QVector<Connection> chosen;
    QStringList serials;
    for (const Connection &connection : m_monitor.connections()) {
        if (m_commandLine.deviceSerial.isEmpty() || connection.serialNumber == m_commandLine.deviceSerial)
            chosen.append(connection);
        serials << connection.serialNumber;
    }
    if (chosen.isEmpty()) {
        const QString wanted = m_commandLine.deviceSerial.isEmpty()
                ? QStringLiteral("No Orvi or Orvi+ is attached.")
                : QStringLiteral("No device with the serial number %1 is attached (attached: %2).")
                          .arg(m_commandLine.deviceSerial, serials.isEmpty() ? QStringLiteral("none")
                                                                             : serials.join(QStringLiteral(", ")));
        return finish(ExitNoDevice, wanted + QStringLiteral(" Plug it in, or check its cable."));
    }
    if (m_commandLine.command == CommandLine::ListDevices)
        return listDevices(chosen);
    if (chosen.size() > 1)
        return finish(ExitUsage, QStringLiteral("Several devices are attached (%1): choose one with --device SERIAL.")
                                         .arg(serials.join(QStringLiteral(", "))));
    m_readyTimeout.start(ReadyTimeoutMs);
}

void CommandLineUpdater::listDevices(const QVector<Connection> &connections)
{
    m_unanswered = connections.size();
    m_listedDevices.resize(connections.size());
    m_listedTexts = QVector<QString>(connections.size());
    for (int i = 0; i < connections.size(); ++i) {
        const Connection connection = connections[i];
        const auto answered = [this, connection, i](const DeviceInfo &info, const QString &failure) {
            QJsonObject device = deviceJson(connection, info);
            QString text = QStringLiteral("%1 %2 at %3").arg(modelName(connection.model), connection.serialNumber,
                                                             connection.path);
            if (failure.isEmpty()) {
                for (const auto &[component, version] : deviceVersionTexts(info))
                    text += QStringLiteral("\n  %1: %2").arg(component, version);
            } else {
                device.remove(QStringLiteral("versions"));
                device.insert(QStringLiteral("error"), failure);
                text += QStringLiteral(": cannot be read. ") + failure;
                m_listFailed = true;
            }
            m_listedDevices[i] = device;
            m_listedTexts[i] = text + QLatin1Char('\n');
            if (--m_unanswered > 0)
                return;
            for (const QString &listed : std::as_const(m_listedTexts))
                if (!m_commandLine.json)
                    print(listed);
            finish(m_listFailed ? ExitFailure : ExitDone);
        };
        m_listAgents.push_back(std::make_unique<DeviceAgent>(connection, &m_monitor));
        DeviceAgent *agent = m_listAgents.back().get();
        connect(agent, &DeviceAgent::ready, this, [answered](const DeviceInfo &info) { answered(info, QString()); });
        connect(agent, &DeviceAgent::failure, this,
                [answered](const QString &reason) { answered(DeviceInfo(), reason); });
        agent->start();
    }
    m_readyTimeout.start(ReadyTimeoutMs);
}

void CommandLineUpdater::onDeviceReady()
{
    if (m_updateStarted) {
        // Back from its restart after a component.
        if (m_engine->isUpdating())
            showStep(QStringLiteral("done"), true);
        return;
    }
    m_readyTimeout.stop();
    if (m_commandLine.command != CommandLine::Install)
        return m_manager.check();
    m_plan = DevicePlan{{localComponent(m_commandLine.installType, m_commandLine.installFile)}, {}};
    askToGoOn();
}

void CommandLineUpdater::onDeviceFailed(const QString &reason)
{
    // During an update the engine says how the update ended right after.
    if (!m_updateStarted)
        finish(ExitFailure, QStringLiteral("The device cannot be opened: %1").arg(reason));
}

void CommandLineUpdater::onCheckDone()
{
    const DeviceInfo info = m_engine->deviceInfo();
    m_plan = planDeviceUpdates(info, m_manager.components(), false);
    printPlan();
    if (m_plan.components.isEmpty())
        return finish(ExitNothingToDo);
    if (m_commandLine.command == CommandLine::Check)
        return finish(ExitDone);
    askToGoOn();
}

void CommandLineUpdater::printPlan()
{
    if (m_commandLine.json)
        return;
    const Connection device = m_engine->device();
    const QString name = modelName(device.model) + QLatin1Char(' ') + device.serialNumber;
    QString text = m_plan.components.isEmpty() ? QStringLiteral("%1 is up to date.\n").arg(name)
                                                : QStringLiteral("Updates for %1:\n").arg(name);
    for (const Component &component : std::as_const(m_plan.components))
        text += QStringLiteral("  %1\n").arg(planLine(component));
    for (const QString &warning : std::as_const(m_plan.warnings))
        text += QStringLiteral("WARNING: %1\n").arg(warning);
    print(text);
}

void CommandLineUpdater::askToGoOn()
{
    if (m_commandLine.yes)
        return startUpdate();
    const Connection device = m_engine->device();
    print(QStringLiteral("Update %1 components of %2 %3? [y/N] ")
                  .arg(m_plan.components.size())
                  .arg(modelName(device.model), device.serialNumber));
    m_answer = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_answer, &QSocketNotifier::activated, this, &CommandLineUpdater::onAnswer);
}

void CommandLineUpdater::onAnswer()
{
    m_answer->setEnabled(false);
    char answer[64] = {};
    const ssize_t length = ::read(STDIN_FILENO, answer, sizeof answer - 1);
    if (length > 0 && (answer[0] == 'y' || answer[0] == 'Y'))
        return startUpdate();
    finish(ExitFailure, QStringLiteral("Not updated: the answer was no."));
}

void CommandLineUpdater::startUpdate()
{
    m_updateStarted = true;
    m_results = QVector<QString>(m_plan.components.size(), QStringLiteral("not sent"));
    m_engine->startUpdate(m_plan.components);
}

// One line per component: on a terminal redrawn in place as the step moves on, elsewhere a
// line for each new step, without percentages.
void CommandLineUpdater::showStep(const QString &step, bool lasting)
{
    const bool percentage = step.endsWith(QLatin1Char('%'));
    if (m_commandLine.json || (!m_console.outputIsTerminal && percentage) || step == m_step)
        return;
    m_step = step;
    const QString line = QStringLiteral("%1 (%2/%3): %4")
                                 .arg(m_component)
                                 .arg(m_engine->componentIndex() + 1)
                                 .arg(m_plan.components.size())
                                 .arg(step);
    if (!m_console.outputIsTerminal)
        return print(line + QLatin1Char('\n'));
    print(QStringLiteral("\r\033[K") + line + (lasting ? QStringLiteral("\n") : QString()));
    if (lasting)
        m_step.clear();
}

void CommandLineUpdater::onComponentInstalled()
{
    m_results[m_engine->componentIndex()] = QStringLiteral("installed");
    showStep(QStringLiteral("installed; waiting for the device to restart"));
}

void CommandLineUpdater::onUpdateFailed(const QString &reason)
{
    const int failed = m_results.indexOf(QStringLiteral("not sent"));
    if (failed >= 0)
        m_results[failed] = QStringLiteral("failed");
    finish(ExitFailure, reason);
}

void CommandLineUpdater::interrupt()
{
    if (m_finished)
        return;
    if (m_engine && m_engine->stage() == UpdateEngine::Stage::Installing && !std::exchange(m_warned, true)) {
        std::fprintf(stderr, "the device may be left without working firmware; press Ctrl-C again to stop\n");
        return;
    }
    finish(ExitFailure, QStringLiteral("Interrupted."));
}

void CommandLineUpdater::finish(int exitStatus, const QString &error)
{
    if (std::exchange(m_finished, true))
        return;
    m_readyTimeout.stop();
    if (m_console.outputIsTerminal && !m_step.isEmpty())
        print(QStringLiteral("\n"));
    if (!m_commandLine.json) {
        if (!error.isEmpty())
            std::fprintf(stderr, "orvi-updater: %s\n", qPrintable(error));
        emit finished(exitStatus);
        return;
    }

    QJsonArray devices;
    for (const QJsonObject &device : std::as_const(m_listedDevices))
        devices.append(device);
    if (m_engine && m_engine->deviceIsReady())
        devices.append(deviceJson(m_engine->device(), m_engine->deviceInfo()));
    QJsonArray plan;
    for (const Component &component : std::as_const(m_plan.components))
        plan.append(QJsonObject{{QStringLiteral("component"), componentTypeName(component.type)},
                                {QStringLiteral("version"), planVersionText(component)},
                                {QStringLiteral("size"), double(component.size)}});
    QJsonArray results;
    for (int i = 0; i < m_results.size(); ++i)
        results.append(QJsonObject{{QStringLiteral("component"), componentTypeName(m_plan.components[i].type)},
                                   {QStringLiteral("result"), m_results[i]}});
    const QJsonObject document{{QStringLiteral("command"), QLatin1String(commandName(m_commandLine.command))},
                               {QStringLiteral("exitStatus"), exitStatus},
                               {QStringLiteral("error"), error},
                               {QStringLiteral("devices"), devices},
                               {QStringLiteral("plan"), plan},
                               {QStringLiteral("warnings"), QJsonArray::fromStringList(m_plan.warnings)},
                               {QStringLiteral("results"), results}};
    print(QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Indented)));
    emit finished(exitStatus);
}

void CommandLineUpdater::print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), m_console.output);
    std::fflush(m_console.output);
}

QJsonObject CommandLineUpdater::deviceJson(const Connection &connection, const DeviceInfo &info) const
{
    QJsonObject versions;
    for (const auto &[component, version] : deviceVersionTexts(info))
        versions.insert(component.toLower(), version);
    return QJsonObject{{QStringLiteral("model"), modelName(connection.model)},
                       {QStringLiteral("serial"), connection.serialNumber},
                       {QStringLiteral("path"), connection.path},
                       {QStringLiteral("versions"), versions}};
}

} // namespace OrviPlus
