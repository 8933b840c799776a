#include "device/device_agent.h"
#include "device/device_monitor.h"
#include "device/message_log.h"
#include "device/orvi_device.h"

#include "hid_sim.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <memory>

using OrviPlus::Connection;
using OrviPlus::DeviceAgent;
using OrviPlus::DeviceFileType;
using OrviPlus::DeviceInfo;
using OrviPlus::DeviceMonitor;
using OrviSim::Component;
using OrviSim::OrviEmulator;
using OrviSim::ReplyFault;

namespace {

// Everything an agent told its owner, and whether it all came in the main thread.
class AgentProbe : public QObject {
public:
    explicit AgentProbe(DeviceAgent* agent)
    {
        connect(agent, &DeviceAgent::ready, this, [this, agent](DeviceInfo info) {
            note("ready");
            infos.append(info);
            infoDuringReady = agent->info();
        });
        connect(agent, &DeviceAgent::readyForUpdate, this, [this] { note("readyForUpdate"); });
        connect(agent, &DeviceAgent::failure, this, [this] { note("failure"); });
        connect(agent, &DeviceAgent::disconnected, this, [this] { note("disconnected"); });
        connect(agent, &DeviceAgent::done, this, [this] { note("done"); });
        connect(agent, &DeviceAgent::progress, this, [this](float fraction, long total) {
            offMainThread |= QThread::currentThread() != qApp->thread();
            fractions.append(fraction);
            totals.append(total);
        });
    }

    int count(const char* name) const { return names.count(QLatin1String(name)); }

    QStringList names;
    QVector<DeviceInfo> infos;
    DeviceInfo infoDuringReady;
    QVector<float> fractions;
    QVector<long> totals;
    bool offMainThread = false;

private:
    void note(const char* name)
    {
        offMainThread |= QThread::currentThread() != qApp->thread();
        names.append(QLatin1String(name));
    }
};

// Sends what the protocol prints to a file while alive.
class StdoutCapture {
public:
    explicit StdoutCapture(const QString& path)
        : m_path(path)
    {
        fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int file = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, STDOUT_FILENO);
        close(file);
    }

    ~StdoutCapture() { restore(); }

    QString text()
    {
        restore();
        QFile file(m_path);
        file.open(QIODevice::ReadOnly);
        return QString::fromLocal8Bit(file.readAll());
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }

    QString m_path;
    int m_saved = -1;
};

const QStringList HandshakeLog = {
    "DeviceAgent: starting...",
    "DeviceAgent: connecting...",
    "DeviceAgent: opening device...",
    "DeviceAgent: getting header...",
    "DeviceAgent: getting info from header...",
    "DeviceAgent: ready.",
};

QString readyFlagLine(int flag)
{
    // The log stream puts its own blank after the text's trailing one.
    return QStringLiteral("DeviceAgent: device ready for update =  %1").arg(flag);
}

QByteArray bytesOf(const std::vector<uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

} // namespace

Q_DECLARE_METATYPE(ReplyFault)

class DeviceAgentTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void handshakeDecodesHeader_data();
    void handshakeDecodesHeader();
    void timeoutsAreRetriedUntilStop();
    void otherOpenErrorsFailOnce_data();
    void otherOpenErrorsFailOnce();
    void requestsInWrongStateEmitNothing();

    void orviIsAssumedReadyAfterThreeSeconds();
    void orviPlusIsAskedUntilReady_data();
    void orviPlusIsAskedUntilReady();
    void orviPlusIsAssumedReadyAfterTwentySeconds();

    void sendsEveryFileType_data();
    void sendsEveryFileType();
    void failedTransferLeavesDeviceUsable();
    void followsMonitorDisconnectionsOfItsOwnPath();
    void deletingAgentInterruptsTransfer();

private:
    std::shared_ptr<OrviEmulator> plugDevice(int model, const std::string& path = "agent-dev");
    std::unique_ptr<DeviceAgent> makeAgent(int model, const QString& path = "agent-dev");
    // Starts the agent and waits for its handshake to finish.
    bool shakeHands(DeviceAgent* agent, AgentProbe* probe);

    DeviceMonitor m_monitor;
    QTemporaryDir m_files;
};

void DeviceAgentTest::initTestCase()
{
    qRegisterMetaType<OrviPlus::DeviceInfo>("OrviPlus::DeviceInfo");
    // Content sectors would otherwise cost 2.1 s each.
    orviSetSectorWaitForTesting(1000000);
    QVERIFY(m_files.isValid());
}

void DeviceAgentTest::init()
{
    HidSim::reset();
}

void DeviceAgentTest::cleanup()
{
    QCOMPARE(HidSim::openHandleCount(), 0);
}

std::shared_ptr<OrviEmulator> DeviceAgentTest::plugDevice(int model, const std::string& path)
{
    return HidSim::plug(model == 0 ? HidSim::kProductOrvi : HidSim::kProductOrviPlus, path);
}

std::unique_ptr<DeviceAgent> DeviceAgentTest::makeAgent(int model, const QString& path)
{
    Connection connection;
    connection.path = path;
    connection.model = model;
    return std::make_unique<DeviceAgent>(connection, &m_monitor);
}

bool DeviceAgentTest::shakeHands(DeviceAgent* agent, AgentProbe* probe)
{
    agent->start();
    const bool answered = QTest::qWaitFor([probe] { return probe->count("ready") + probe->count("failure") > 0; }, 5000);
    return answered && probe->count("ready") == 1;
}

void DeviceAgentTest::handshakeDecodesHeader_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("mcuWord");
    QTest::addColumn<int>("dspWord");
    QTest::addColumn<int>("styles");
    QTest::addColumn<uint>("ensemble");
    QTest::addColumn<int>("aux");
    QTest::addColumn<QVector<int>>("mcu");
    QTest::addColumn<QVector<int>>("dsp");

    QTest::newRow("Orvi+") << 1 << 0x0312 << 0x0205 << 0x1234 << 0x04030201u << 0xBEEF
                           << QVector<int>{3, 1, 2} << QVector<int>{2, 0, 5};
    QTest::newRow("Orvi") << 0 << 0x0012 << 0x0120 << 7 << 0xFFFFFFFFu << 1
                          << QVector<int>{3, 1, 2} << QVector<int>{3, 2, 0};
    QTest::newRow("Orvi+ early firmware") << 1 << 0x0064 << 0x0313 << 0 << 0u << 0
                                          << QVector<int>{0, 6, 4} << QVector<int>{3, 1, 3};
}

void DeviceAgentTest::handshakeDecodesHeader()
{
    QFETCH(int, model);
    QFETCH(int, mcuWord);
    QFETCH(int, dspWord);
    QFETCH(int, styles);
    QFETCH(uint, ensemble);
    QFETCH(int, aux);
    QFETCH(QVector<int>, mcu);
    QFETCH(QVector<int>, dsp);

    MessageLog log;
    OrviSim::HeaderWords words;
    words.mcuWord = quint16(mcuWord);
    words.dspWord = quint16(dspWord);
    words.stylesVersion = quint16(styles);
    words.ensembleVersion = ensemble;
    words.auxWord = quint16(aux);
    plugDevice(model)->setHeaderWords(words);

    auto agent = makeAgent(model);
    AgentProbe probe(agent.get());
    QVERIFY(shakeHands(agent.get(), &probe));
    QTest::qWait(100);

    QCOMPARE(log.linesStartingWith("DeviceAgent"), HandshakeLog);
    QCOMPARE(probe.names, QStringList{"ready"});
    QVERIFY(!probe.offMainThread);
    for (const DeviceInfo& info : {probe.infos.at(0), probe.infoDuringReady, agent->info()}) {
        QCOMPARE(info.model, model);
        QCOMPARE(info.auxWord, aux);
        QCOMPARE((QVector<int>{info.mcuVersion.stage, info.mcuVersion.major, info.mcuVersion.minor}), mcu);
        QCOMPARE((QVector<int>{info.dspVersion.stage, info.dspVersion.major, info.dspVersion.minor}), dsp);
        QCOMPARE(int(info.stylesVersion), styles);
        QCOMPARE(uint(info.ensembleVersion), ensemble);
    }
    QCOMPARE(agent->connection().path, QStringLiteral("agent-dev"));
    QCOMPARE(HidSim::openHandleCount(), 1);

    // The handle goes with the agent.
    agent.reset();
    QCOMPARE(HidSim::openHandleCount(), 0);
}

void DeviceAgentTest::timeoutsAreRetriedUntilStop()
{
    MessageLog log;
    auto device = plugDevice(1);
    device->setHeaderReplyFault({ReplyFault::NoReply, -1, 0});
    auto agent = makeAgent(1);
    AgentProbe probe(agent.get());

    QElapsedTimer clock;
    clock.start();
    agent->start();
    QTRY_VERIFY_WITH_TIMEOUT(log.count("DeviceAgent: Timeout. Retrying...") >= 1, 5000);
    // Requests made while still connecting are refused without an answer.
    agent->sendFile(OrviPlus::MicroFirmware, m_files.filePath("never-sent.bin"));
    agent->checkReadyForUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(log.count("DeviceAgent: Timeout. Retrying...") >= 2, 5000);
    // Each attempt waits out the full two seconds.
    QVERIFY2(clock.elapsed() >= 3900, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(log.count("DeviceAgent: trying to send file but not connected."), 1, 3000);
    QTRY_COMPARE_WITH_TIMEOUT(
        log.count("DeviceAgent: trying to check whether ready for update, but not connected."), 1, 3000);

    agent->stop();
    QTRY_COMPARE_WITH_TIMEOUT(log.count("DeviceAgent: aborting connection: stopped."), 1, 5000);
    const int attempts = device->openRequestCount();
    QCOMPARE(log.count("DeviceAgent: opening device..."), attempts);
    QTest::qWait(300);
    QCOMPARE(device->openRequestCount(), attempts);
    QCOMPARE(log.count("DeviceAgent: Trying to stop, but not running."), 0);
    QCOMPARE(log.linesStartingWith("DeviceAgent").last(), QStringLiteral("DeviceAgent: aborting connection: stopped."));
    QVERIFY(probe.names.isEmpty());

    // A stopped agent can connect again once the device answers.
    device->setHeaderReplyFault({ReplyFault::None, -1, 0});
    QVERIFY(shakeHands(agent.get(), &probe));
}

void DeviceAgentTest::otherOpenErrorsFailOnce_data()
{
    QTest::addColumn<ReplyFault>("fault");
    QTest::addColumn<bool>("refuseOpen");
    QTest::addColumn<int>("code");

    QTest::newRow("bad marker") << ReplyFault::BadMarker << false << 7;
    QTest::newRow("read error") << ReplyFault::ReadError << false << 4;
    QTest::newRow("open refused") << ReplyFault::None << true << 2;
}

void DeviceAgentTest::otherOpenErrorsFailOnce()
{
    QFETCH(ReplyFault, fault);
    QFETCH(bool, refuseOpen);
    QFETCH(int, code);

    MessageLog log;
    auto device = plugDevice(1);
    device->setHeaderReplyFault({fault, 1, 0});
    device->setOpenRefused(refuseOpen);
    auto agent = makeAgent(1);
    AgentProbe probe(agent.get());

    QVERIFY(!shakeHands(agent.get(), &probe));
    QTest::qWait(300);
    QCOMPARE(probe.names, QStringList{"failure"});
    QCOMPARE(log.count(QStringLiteral("DeviceAgent: Failed to connect. Error: %1").arg(code)), 1);
    QCOMPARE(log.count("DeviceAgent: opening device..."), 1);
    QCOMPARE(log.count("DeviceAgent: Timeout. Retrying..."), 0);

    // The worker is idle again: stopping is refused, starting tries anew.
    device->setOpenRefused(false);
    agent->stop();
    QTRY_COMPARE_WITH_TIMEOUT(log.count("DeviceAgent: Trying to stop, but not running."), 1, 2000);
    probe.names.clear();
    QVERIFY(shakeHands(agent.get(), &probe));
    QCOMPARE(probe.names, QStringList{"ready"});
}

void DeviceAgentTest::requestsInWrongStateEmitNothing()
{
    MessageLog log;
    auto device = plugDevice(1);
    auto agent = makeAgent(1);
    AgentProbe probe(agent.get());

    agent->sendFile(OrviPlus::MicroFirmware, m_files.filePath("never-sent.bin"));
    agent->checkReadyForUpdate();
    agent->stop();
    QTRY_COMPARE_WITH_TIMEOUT(log.lines(),
                              QStringList({"DeviceAgent: trying to send file but not connected.",
                                           "DeviceAgent: trying to check whether ready for update, but not connected.",
                                           "DeviceAgent: Trying to stop, but not running."}),
                              2000);
    QCOMPARE(device->reportCount(), 0);

    QVERIFY(shakeHands(agent.get(), &probe));
    agent->start();
    QTRY_COMPARE_WITH_TIMEOUT(log.count("DeviceAgent: already running!"), 1, 2000);
    QCOMPARE(HidSim::openHandleCount(), 1);

    // Stopping a connected agent closes the device; it is then idle.
    agent->stop();
    agent->checkReadyForUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(
        log.count("DeviceAgent: trying to check whether ready for update, but not connected."), 2, 2000);
    QCOMPARE(HidSim::openHandleCount(), 0);
    QTest::qWait(100);
    QCOMPARE(probe.names, QStringList{"ready"});
}

void DeviceAgentTest::orviIsAssumedReadyAfterThreeSeconds()
{
    MessageLog log;
    auto device = plugDevice(0);
    auto agent = makeAgent(0);
    AgentProbe probe(agent.get());
    QVERIFY(shakeHands(agent.get(), &probe));
    const int reportsAfterHandshake = device->reportCount();

    QElapsedTimer clock;
    clock.start();
    agent->checkReadyForUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(probe.count("readyForUpdate"), 1, 6000);
    QVERIFY2(clock.elapsed() >= 2950, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(log.linesStartingWith("DeviceAgent").last(),
             QStringLiteral("DeviceAgent: Original Orvi: Assumed ready after 3 sec."));
    QCOMPARE(device->readyQueryCount(), 0);
    QCOMPARE(device->reportCount(), reportsAfterHandshake);
    QCOMPARE(probe.names, QStringList({"ready", "readyForUpdate"}));
}

void DeviceAgentTest::orviPlusIsAskedUntilReady_data()
{
    QTest::addColumn<int>("notReadyAnswers");
    QTest::addColumn<ReplyFault>("firstReplyFault");
    QTest::addColumn<int>("readyFlag");
    QTest::addColumn<QVector<int>>("loggedFlags");

    QTest::newRow("ready at once") << 0 << ReplyFault::None << 0x80 << QVector<int>{0x80};
    QTest::newRow("ready at the third query") << 2 << ReplyFault::None << 1 << QVector<int>{0, 0, 1};
    QTest::newRow("broken reply counts as not ready") << 0 << ReplyFault::BadReadyEcho << 1 << QVector<int>{0, 1};
    QTest::newRow("lost reply counts as not ready") << 0 << ReplyFault::NoReply << 1 << QVector<int>{0, 1};
}

void DeviceAgentTest::orviPlusIsAskedUntilReady()
{
    QFETCH(int, notReadyAnswers);
    QFETCH(ReplyFault, firstReplyFault);
    QFETCH(int, readyFlag);
    QFETCH(QVector<int>, loggedFlags);

    MessageLog log;
    auto device = plugDevice(1);
    device->setReadiness(notReadyAnswers == 0 ? OrviSim::Readiness::Immediate : OrviSim::Readiness::AfterQueries,
                         notReadyAnswers);
    device->setReadyFlag(quint8(readyFlag));
    auto agent = makeAgent(1);
    AgentProbe probe(agent.get());
    QVERIFY(shakeHands(agent.get(), &probe));
    device->setReadyReplyFault({firstReplyFault, 1, 0});

    QElapsedTimer clock;
    clock.start();
    agent->checkReadyForUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(probe.count("readyForUpdate"), 1, 5000);
    // Half a second between queries.
    const int pauses = loggedFlags.size() - 1;
    QVERIFY2(clock.elapsed() >= 500 * pauses, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(clock.elapsed() < 500 * pauses + 1500, qPrintable(QString::number(clock.elapsed())));

    QStringList expected;
    for (int flag : loggedFlags)
        expected.append(readyFlagLine(flag));
    QCOMPARE(log.linesStartingWith("DeviceAgent: device ready"), expected);
    QCOMPARE(device->readyQueryCount(), loggedFlags.size());
    QCOMPARE(probe.names, QStringList({"ready", "readyForUpdate"}));
}

void DeviceAgentTest::orviPlusIsAssumedReadyAfterTwentySeconds()
{
    MessageLog log;
    auto device = plugDevice(1);
    device->setReadiness(OrviSim::Readiness::Never);
    auto agent = makeAgent(1);
    AgentProbe probe(agent.get());
    QVERIFY(shakeHands(agent.get(), &probe));

    QElapsedTimer clock;
    clock.start();
    agent->checkReadyForUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(probe.count("readyForUpdate"), 1, 30000);
    QVERIFY2(clock.elapsed() >= 20000 && clock.elapsed() < 23000, qPrintable(QString::number(clock.elapsed())));

    const QStringList lines = log.linesStartingWith("DeviceAgent");
    QCOMPARE(lines.last(),
             QStringLiteral("DeviceAgent: timed out checking whether device ready for update. Assuming ready."));
    const int queries = device->readyQueryCount();
    QVERIFY2(queries >= 30 && queries <= 41, qPrintable(QString::number(queries)));
    QCOMPARE(lines.count(readyFlagLine(0)), queries);
    QCOMPARE(probe.names, QStringList({"ready", "readyForUpdate"}));
}

void DeviceAgentTest::sendsEveryFileType_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("fileType");
    QTest::addColumn<int>("size");

    QTest::newRow("Orvi+ MCU firmware") << 1 << int(OrviPlus::MicroFirmware) << 56 * 40 + 13;
    QTest::newRow("Orvi+ DSP firmware") << 1 << int(OrviPlus::DspFirmware) << 54 * 30 + 7;
    QTest::newRow("Orvi+ styles") << 1 << int(OrviPlus::StyleData) << 65536 + 1001;
    QTest::newRow("Orvi+ ensemble") << 1 << int(OrviPlus::EnsembleAudio) << 2 * 65536 + 4;
    QTest::newRow("Orvi MCU firmware") << 0 << int(OrviPlus::MicroFirmware) << 1000;
    QTest::newRow("Orvi ensemble") << 0 << int(OrviPlus::EnsembleAudio) << 70001;
}

void DeviceAgentTest::sendsEveryFileType()
{
    QFETCH(int, model);
    QFETCH(int, fileType);
    QFETCH(int, size);

    // The file types and the emulator's components share their numbers.
    const auto component = Component(fileType);
    const QString path = m_files.filePath(QStringLiteral("image-%1-%2").arg(model).arg(fileType));
    QVERIFY(OrviSim::writeImageFile(QFile::encodeName(path).toStdString(), component, 0x0321, size_t(size)));
    const std::vector<uint8_t> image = OrviSim::buildImage(component, 0x0321, size_t(size));

    auto device = plugDevice(model);
    OrviSim::HeaderWords words;
    words.dspWord = 0x0100; // new enough for the closing packet of content transfers
    device->setHeaderWords(words);
    auto agent = makeAgent(model);
    AgentProbe probe(agent.get());
    QVERIFY(shakeHands(agent.get(), &probe));

    agent->sendFile(DeviceFileType(fileType), path);
    QTRY_VERIFY_WITH_TIMEOUT(probe.count("done") + probe.count("failure") > 0, 20000);
    QTest::qWait(50);
    QCOMPARE(probe.names, QStringList({"ready", "done"}));

    const auto transfer = device->lastTransfer(component);
    QVERIFY(transfer.has_value());
    QVERIFY(transfer->installed);
    QVERIFY(transfer->holdsExactly(image));
    QCOMPARE(bytesOf(*device->installedImage(component)), bytesOf(image));

    QVERIFY(!probe.offMainThread);
    QCOMPARE(probe.fractions.size(), transfer->dataPackets);
    QVERIFY(std::is_sorted(probe.fractions.begin(), probe.fractions.end()));
    QVERIFY(probe.fractions.first() > 0.0f);
    QCOMPARE(probe.fractions.last(), 1.0f);
    // Firmware text counts lines, one per byte; everything else counts bytes.
    const long total = size;
    QVERIFY(std::all_of(probe.totals.begin(), probe.totals.end(), [total](long value) { return value == total; }));
}

void DeviceAgentTest::failedTransferLeavesDeviceUsable()
{
    const QString ensemblePath = m_files.filePath("ensemble.bin");
    QVERIFY(OrviSim::writeImageFile(QFile::encodeName(ensemblePath).toStdString(), Component::Ensemble, 9, 3000));
    const QString stylesPath = m_files.filePath("styles.bin");
    QVERIFY(OrviSim::writeImageFile(QFile::encodeName(stylesPath).toStdString(), Component::Styles, 9, 3000));

    auto device = plugDevice(0);
    auto agent = makeAgent(0);
    AgentProbe probe(agent.get());
    QVERIFY(shakeHands(agent.get(), &probe));

    agent->sendFile(OrviPlus::StyleData, stylesPath);
    agent->sendFile(OrviPlus::MicroFirmware, m_files.filePath("missing.bin"));
    agent->sendFile(DeviceFileType(4), ensemblePath);
    QTRY_COMPARE_WITH_TIMEOUT(probe.count("failure"), 3, 5000);
    QVERIFY(probe.fractions.isEmpty());
    QVERIFY(device->transfers().empty());
    QCOMPARE(HidSim::openHandleCount(), 1);

    agent->sendFile(OrviPlus::EnsembleAudio, ensemblePath);
    QTRY_COMPARE_WITH_TIMEOUT(probe.count("done"), 1, 10000);
    QCOMPARE(probe.names, QStringList({"ready", "failure", "failure", "failure", "done"}));
    QVERIFY(device->lastTransfer(Component::Ensemble)->installed);
}

void DeviceAgentTest::followsMonitorDisconnectionsOfItsOwnPath()
{
    MessageLog log;
    auto device = plugDevice(1, "own-path");
    plugDevice(1, "other-path");
    DeviceMonitor monitor;
    QStringList gonePaths;
    connect(&monitor, &DeviceMonitor::disconnected, this, [&gonePaths](const QString& path) { gonePaths.append(path); });
    monitor.start();
    QTRY_COMPARE_WITH_TIMEOUT(monitor.connections().size(), 2, 3000);

    Connection connection = monitor.connections().at(0);
    QCOMPARE(connection.path, QStringLiteral("own-path"));
    DeviceAgent agent(connection, &monitor);
    AgentProbe probe(&agent);
    QVERIFY(shakeHands(&agent, &probe));

    HidSim::unplug("other-path");
    QTRY_COMPARE_WITH_TIMEOUT(gonePaths, QStringList{"other-path"}, 3000);
    QTest::qWait(200);
    QCOMPARE(HidSim::openHandleCount(), 1);
    agent.checkReadyForUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(probe.count("readyForUpdate"), 1, 3000);

    HidSim::unplug("own-path");
    QTRY_COMPARE_WITH_TIMEOUT(probe.count("disconnected"), 1, 3000);
    QCOMPARE(gonePaths, QStringList({"other-path", "own-path"}));
    QCOMPARE(HidSim::openHandleCount(), 0);
    QCOMPARE(log.count("Device Agent: disconnected."), 1);

    // Disconnected means idle: nothing to stop, nothing to ask.
    agent.stop();
    agent.checkReadyForUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(log.count("DeviceAgent: Trying to stop, but not running."), 1, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(
        log.count("DeviceAgent: trying to check whether ready for update, but not connected."), 1, 2000);
    QCOMPARE(probe.names, QStringList({"ready", "readyForUpdate", "disconnected"}));
    QVERIFY(!probe.offMainThread);
    QCOMPARE(device->readyQueryCount(), 1);
}

void DeviceAgentTest::deletingAgentInterruptsTransfer()
{
    const int packets = 3000;
    const QString path = m_files.filePath("long-mcu.bin");
    QVERIFY(OrviSim::writeImageFile(QFile::encodeName(path).toStdString(), Component::Mcu, 0x0321, 56 * packets));

    auto device = plugDevice(1);
    auto agent = makeAgent(1);
    AgentProbe probe(agent.get());
    QVERIFY(shakeHands(agent.get(), &probe));
    // About three seconds for the whole file.
    device->setReportPacingUs(1000);

    agent->sendFile(OrviPlus::MicroFirmware, path);
    QTRY_VERIFY_WITH_TIMEOUT(!probe.fractions.isEmpty(), 3000);

    QString printed;
    qint64 destructionMs = 0;
    {
        StdoutCapture capture(m_files.filePath("interrupted.txt"));
        QElapsedTimer clock;
        clock.start();
        agent.reset();
        destructionMs = clock.elapsed();
        printed = capture.text();
    }

    QVERIFY2(destructionMs < 1000, qPrintable(QString::number(destructionMs)));
    QVERIFY2(printed.contains("Interrupted!"), qPrintable(printed));
    const auto transfer = device->lastTransfer(Component::Mcu);
    QVERIFY(transfer.has_value());
    QVERIFY(!transfer->ended);
    QVERIFY(!transfer->installed);
    QVERIFY(transfer->dataPackets < packets);
    const int reports = device->reportCount();
    QTest::qWait(100);
    QCOMPARE(device->reportCount(), reports);
    QCOMPARE(probe.count("done"), 0);
}

QTEST_GUILESS_MAIN(DeviceAgentTest)
#include "device_agent_test.moc"
