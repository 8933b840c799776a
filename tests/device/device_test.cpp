/* The device monitor and the device agent over the simulated bus. */
#include "device/device_agent.h"
#include "device/device_monitor.h"
#include "device_test_support.h"

#include <QtTest>

#include <deque>
#include <memory>

using OrviPlus::Connection;
using OrviPlus::DeviceAgent;
using OrviPlus::DeviceMonitor;
using OrviSim::Component;
using OrviSim::Readiness;
using OrviSim::ReplyFault;

namespace {

// A device on the bus and an agent for it, with everything the agent told its owner, when, and whether any of it
// but progress came outside the main thread (noted where it is emitted, so that it can tell).
struct Rig : QObject {
    Rig(DeviceMonitor* monitor, int model, const QString& path = "agent-dev")
        : device(HidSim::plug(model == 0 ? HidSim::kProductOrvi : HidSim::kProductOrviPlus, path.toStdString()))
        , agent(std::make_unique<DeviceAgent>(Connection{path, model, QString()}, monitor))
    {
        clock.start();
        const auto note = [this](const char* name) {
            return [this, name] {
                offMainThread |= QThread::currentThread() != qApp->thread();
                names << name;
                at[name] = clock.elapsed();
            };
        };
        connect(agent.get(), &DeviceAgent::ready, this, note("ready"), Qt::DirectConnection);
        connect(agent.get(), &DeviceAgent::readyForUpdate, this, note("readyForUpdate"), Qt::DirectConnection);
        connect(agent.get(), &DeviceAgent::failure, this, note("failure"), Qt::DirectConnection);
        connect(agent.get(), &DeviceAgent::disconnected, this, note("disconnected"), Qt::DirectConnection);
        connect(agent.get(), &DeviceAgent::done, this, note("done"), Qt::DirectConnection);
        connect(agent.get(), &DeviceAgent::progress, this, [this](float fraction) { fractions << fraction; });
    }

    // Starts the agent; true when the handshake ended with ready.
    bool shakeHands()
    {
        const int before = names.size();
        agent->start();
        return QTest::qWaitFor([this, before] { return names.size() > before; }, 5000) && names.last() == "ready";
    }

    std::shared_ptr<OrviSim::OrviEmulator> device;
    std::unique_ptr<DeviceAgent> agent;
    QElapsedTimer clock;
    QStringList names;
    QMap<QString, qint64> at; // milliseconds on the clock when each signal last came
    QVector<float> fractions;
    bool offMainThread = false;
};

} // namespace

class DeviceTest : public QObject {
    Q_OBJECT

    DeviceMonitor m_monitor;
    QTemporaryDir m_files;

    // Waits until the bus has been enumerated once more and that result has been compared.
    static bool waitForPoll()
    {
        const int target = HidSim::callCounts().enumerations + 1;
        const bool polled = QTest::qWaitFor([target] { return HidSim::callCounts().enumerations >= target; }, 2500);
        QTest::qWait(100);
        return polled;
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<OrviPlus::DeviceInfo>("OrviPlus::DeviceInfo");
        orviSetSectorWaitForTesting(1000000); // content sectors would otherwise cost 2.1 s each
    }

    void init() { HidSim::reset(); }
    void cleanup() { QCOMPARE(HidSim::openHandleCount(), 0); }

    void reportsChangesBetweenPolls()
    {
        // Each signal as a receiver saw it: "+path model serial" or "-path", and the paths held then.
        QStringList notices;
        DeviceMonitor monitor;
        const auto held = [&monitor] {
            QStringList paths;
            for (const Connection& connection : monitor.connections())
                paths << connection.path;
            return " [" + paths.join(' ') + "]";
        };
        connect(&monitor, &DeviceMonitor::connected, &monitor, [&notices, held](const Connection& c) {
            notices << QString("+%1 %2 %3").arg(c.path).arg(c.model).arg(c.serialNumber) + held();
        });
        connect(&monitor, &DeviceMonitor::disconnected, &monitor, [&notices, held](const QString& path) {
            notices << "-" + path + held();
        });
        monitor.start();
        QVERIFY(waitForPoll());
        QCOMPARE(notices, QStringList());

        // Other products and other vendors are left out; the rest come in enumeration order.
        HidSim::plug(HidSim::kProductOrviPlus, "bus-plus", L"SN-PLUS");
        HidSim::plug(0x0044, "bus-other", L"SN-OTHER");
        HidSim::plug(HidSim::kProductOrvi, "bus-orvi");
        HidSim::plug(HidSim::kProductOrviPlus, "bus-foreign", L"SN-FOREIGN", 0x1234);
        QVERIFY(waitForPoll());
        QCOMPARE(notices,
                 QStringList({"+bus-plus 1 SN-PLUS [bus-plus bus-orvi]", "+bus-orvi 0  [bus-plus bus-orvi]"}));

        // Back at the same path and model: the same device. As another model, or at another path:
        // gone, then new, in one comparison.
        HidSim::plug(HidSim::kProductOrviPlus, "bus-plus-2");
        QVERIFY(waitForPoll());
        notices.clear();
        HidSim::unplug("bus-plus");
        HidSim::plug(HidSim::kProductOrviPlus, "bus-plus", L"OTHER-SERIAL");
        HidSim::unplug("bus-plus-2");
        HidSim::plug(HidSim::kProductOrvi, "bus-plus-2");
        HidSim::unplug("bus-orvi");
        HidSim::plug(HidSim::kProductOrvi, "bus-orvi-2");
        QVERIFY(waitForPoll());
        const QString paths = " [bus-plus bus-plus-2 bus-orvi-2]";
        QCOMPARE(notices, QStringList({"-bus-orvi" + paths, "-bus-plus-2" + paths, "+bus-plus-2 0 " + paths,
                                       "+bus-orvi-2 0 " + paths}));
    }

    void connectingRetriesUntilStopped()
    {
        MessageLog log;
        Rig r(&m_monitor, 1);
        // A failed read fails once and leaves the worker idle, so that a later start tries anew.
        r.device->setHeaderReplyFault({ReplyFault::ReadError, 1, 0});
        QVERIFY(!r.shakeHands());
        // A time-out is retried after the full two seconds, until a stop.
        r.device->setHeaderReplyFault({ReplyFault::NoReply, -1, 0});
        QElapsedTimer clock;
        clock.start();
        r.agent->start();
        QTRY_COMPARE_WITH_TIMEOUT(log.count("DeviceAgent: Timeout. Retrying..."), 1, 5000);
        r.agent->stop();
        QTRY_COMPARE_WITH_TIMEOUT(log.count("DeviceAgent: aborting connection: stopped."), 1, 5000);
        QVERIFY2(clock.elapsed() >= 3900, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(log.count("DeviceAgent: Timeout. Retrying..."), 2);
        QCOMPARE(r.device->openRequestCount(), 3);

        // Once the device answers, a stop closes it.
        r.device->setHeaderReplyFault({ReplyFault::None, -1, 0});
        QVERIFY(r.shakeHands());
        r.agent->stop();
        QTRY_COMPARE_WITH_TIMEOUT(HidSim::openHandleCount(), 0, 2000);
        QCOMPARE(r.names, QStringList({"failure", "ready"}));
    }

    void readinessByModel()
    {
        // All at once, each on its own device, so that the 20 s case sets the pace.
        struct Case { int model; Readiness readiness; int notReadyAnswers; ReplyFault firstReply;
                      int minQueries, maxQueries; qint64 minMs, maxMs; };
        const std::vector<Case> cases = {
            {0, Readiness::Immediate, 0, ReplyFault::None, 0, 0, 2950, 4000},      // an Orvi is not asked
            {1, Readiness::AfterQueries, 2, ReplyFault::None, 3, 3, 980, 2500},    // half a second apart
            {1, Readiness::Immediate, 0, ReplyFault::BadReadyEcho, 2, 2, 480, 2000}, // a broken reply is "not ready"
            {1, Readiness::Immediate, 0, ReplyFault::NoReply, 2, 2, 650, 2200},    // so is a lost one
            {1, Readiness::Never, 0, ReplyFault::None, 30, 41, 20000, 23000},      // assumed ready after 20 s
        };
        std::deque<Rig> rigs;
        for (const Case& c : cases) {
            Rig& r = rigs.emplace_back(&m_monitor, c.model, QString("dev-%1").arg(rigs.size()));
            r.device->setReadiness(c.readiness, c.notReadyAnswers);
            r.device->setReadyFlag(0x80);
            QVERIFY(r.shakeHands());
            r.device->setReadyReplyFault({c.firstReply, 1, 0});
        }
        for (Rig& r : rigs) {
            r.clock.restart();
            r.agent->checkReadyForUpdate();
        }
        QTRY_COMPARE_WITH_TIMEOUT(rigs.back().names.count("readyForUpdate"), 1, 30000); // the others come sooner
        for (size_t i = 0; i < cases.size(); ++i) {
            const qint64 ms = rigs[i].at.value("readyForUpdate");
            const int queries = rigs[i].device->readyQueryCount();
            QVERIFY2(ms >= cases[i].minMs && ms < cases[i].maxMs && queries >= cases[i].minQueries
                         && queries <= cases[i].maxQueries,
                     qPrintable(QString("case %1: %2 ms, %3 queries").arg(i).arg(ms).arg(queries)));
            QCOMPARE(rigs[i].names, QStringList({"ready", "readyForUpdate"}));
            QVERIFY(!rigs[i].offMainThread);
        }
    }

    void progressPerWholePercentThenItsOwnDisconnection()
    {
        const QString path = m_files.filePath("styles.bin");
        QVERIFY(OrviSim::writeImageFile(localPath(path), Component::Styles, 2, 2 * 65536));
        Rig r(&m_monitor, 1, "own-path");
        QVERIFY(r.shakeHands());
        r.agent->sendFile(OrviPlus::StyleData, path);
        QTRY_COMPARE_WITH_TIMEOUT(r.names.count("done"), 1, 10000);
        // Thousands of packets, at most one signal for each percent the window can show.
        for (int i = 1; i < r.fractions.size(); ++i)
            QVERIFY(int(r.fractions[i] * 100) > int(r.fractions[i - 1] * 100));
        QCOMPARE(r.fractions.last(), 1.0f);

        // Another device's disconnection leaves it connected.
        emit m_monitor.disconnected("other-path");
        QTest::qWait(100);
        QCOMPARE(HidSim::openHandleCount(), 1);
        emit m_monitor.disconnected("own-path");
        QTRY_COMPARE_WITH_TIMEOUT(r.names.count("disconnected"), 1, 3000);
        QCOMPARE(HidSim::openHandleCount(), 0);
        QCOMPARE(r.names, QStringList({"ready", "done", "disconnected"}));
    }

    void deletingTheAgentInterruptsItsWork()
    {
        const int packets = 3000;
        const QString path = m_files.filePath("long-mcu.bin");
        QVERIFY(OrviSim::writeImageFile(localPath(path), Component::Mcu, 0x0321, 56 * packets));
        for (bool sending : {false, true}) { // else a readiness check of a device that never gets ready
            HidSim::reset();
            Rig r(&m_monitor, 1);
            QVERIFY(r.shakeHands());
            if (sending) {
                r.device->setReportPacingUs(1000); // about three seconds for the whole file
                r.agent->sendFile(OrviPlus::MicroFirmware, path);
                QTRY_VERIFY_WITH_TIMEOUT(!r.fractions.isEmpty(), 3000);
            } else {
                r.device->setReadiness(Readiness::Never, 0);
                r.agent->checkReadyForUpdate();
                QTRY_VERIFY_WITH_TIMEOUT(r.device->readyQueryCount() > 0, 3000);
            }

            StdoutCapture capture;
            QElapsedTimer clock;
            clock.start();
            r.agent.reset();
            const qint64 destructionMs = clock.elapsed();
            const QString printed = capture.finish();
            QVERIFY2(destructionMs < 1000, qPrintable(QString::number(destructionMs)));
            const int reports = r.device->reportCount();
            QTest::qWait(100);
            QCOMPARE(r.device->reportCount(), reports);
            QCOMPARE(r.names, QStringList{"ready"});
            if (!sending)
                continue;

            // Stopped right after the last packet the device got, without an end packet.
            const auto transfer = r.device->lastTransfer(Component::Mcu);
            QVERIFY(transfer && !transfer->ended && !transfer->installed && transfer->dataPackets < packets);
            const QString stopped = QString("Interrupted!\nTotal sent: %1 kb\n").arg(transfer->dataPackets * 56 / 1024);
            QVERIFY2(printed.contains(stopped), qPrintable(printed));
        }
    }
};

QTEST_GUILESS_MAIN(DeviceTest)
#include "device_test.moc"
