#include "device/device_monitor.h"
#include "device/message_log.h"

#include "hid_sim.h"

#include <QElapsedTimer>
#include <QtTest>

using OrviPlus::Connection;
using OrviPlus::DeviceMonitor;

namespace {

// One signal of the monitor as a receiver saw it, with the list the monitor held then.
struct Notice {
    bool connected = false;
    QString path;
    int model = -1;
    QString serialNumber;
    QStringList pathsHeld;
};

QStringList pathsOf(const QVector<Connection>& connections)
{
    QStringList paths;
    for (const Connection& connection : connections)
        paths.append(connection.path);
    return paths;
}

// Blocks the test thread, processing events, until the bus has been enumerated count more times,
// then lets the queued result of the last poll arrive.
bool waitForPolls(int count)
{
    const int target = HidSim::callCounts().enumerations + count;
    QElapsedTimer clock;
    clock.start();
    while (HidSim::callCounts().enumerations < target) {
        if (clock.elapsed() > 1500 * count + 2000)
            return false;
        QTest::qWait(20);
    }
    QTest::qWait(200);
    return true;
}

} // namespace

class DeviceMonitorTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void emptyBusIsQuiet();
    void reportsNewDevicesInEnumerationOrder();
    void reportsChangedPathAsDisconnectThenConnect();
    void startAndStopAreIdempotent();

private:
    void record(DeviceMonitor& monitor);

    QVector<Notice> m_notices;
};

void DeviceMonitorTest::init()
{
    HidSim::reset();
    m_notices.clear();
}

void DeviceMonitorTest::record(DeviceMonitor& monitor)
{
    connect(&monitor, &DeviceMonitor::connected, this, [this, &monitor](const Connection& connection) {
        m_notices.append({true, connection.path, connection.model, connection.serialNumber,
                          pathsOf(monitor.connections())});
    });
    connect(&monitor, &DeviceMonitor::disconnected, this, [this, &monitor](const QString& path) {
        m_notices.append({false, path, -1, QString(), pathsOf(monitor.connections())});
    });
}

void DeviceMonitorTest::emptyBusIsQuiet()
{
    DeviceMonitor monitor;
    record(monitor);
    monitor.start();

    QVERIFY(waitForPolls(2));
    QVERIFY(m_notices.isEmpty());
    QVERIFY(monitor.connections().isEmpty());
}

void DeviceMonitorTest::reportsNewDevicesInEnumerationOrder()
{
    MessageLog log;
    HidSim::plug(HidSim::kProductOrviPlus, "bus-plus", L"SN-PLUS");
    HidSim::plug(0x0044, "bus-other", L"SN-OTHER");
    HidSim::plug(HidSim::kProductOrvi, "bus-orvi");
    HidSim::plug(HidSim::kProductOrviPlus, "bus-foreign", L"SN-FOREIGN", 0x1234);

    DeviceMonitor monitor;
    record(monitor);
    monitor.start();
    QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 2, 3000);
    QVERIFY(waitForPolls(1));

    QCOMPARE(m_notices.size(), 2);
    const Notice first = m_notices.at(0);
    QVERIFY(first.connected);
    QCOMPARE(first.path, QStringLiteral("bus-plus"));
    QCOMPARE(first.model, 1);
    QCOMPARE(first.serialNumber, QStringLiteral("SN-PLUS"));
    QCOMPARE(first.pathsHeld, QStringList({"bus-plus", "bus-orvi"}));
    const Notice second = m_notices.at(1);
    QVERIFY(second.connected);
    QCOMPARE(second.path, QStringLiteral("bus-orvi"));
    QCOMPARE(second.model, 0);
    QVERIFY(second.serialNumber.isEmpty());
    QCOMPARE(log.linesStartingWith("Connected:"),
             QStringList({R"(Connected: "SN-PLUS" "bus-plus")", R"(Connected: "" "bus-orvi")"}));

    HidSim::unplug("bus-plus");
    QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 3, 3000);
    QVERIFY(waitForPolls(1));
    QCOMPARE(m_notices.size(), 3);
    QVERIFY(!m_notices.at(2).connected);
    QCOMPARE(m_notices.at(2).path, QStringLiteral("bus-plus"));
    QCOMPARE(m_notices.at(2).pathsHeld, QStringList({"bus-orvi"}));
    QCOMPARE(log.linesStartingWith("Disconnected:"), QStringList({R"(Disconnected: "SN-PLUS" "bus-plus")"}));
}

void DeviceMonitorTest::reportsChangedPathAsDisconnectThenConnect()
{
    HidSim::plug(HidSim::kProductOrviPlus, "bus-a");
    DeviceMonitor monitor;
    record(monitor);
    monitor.start();
    QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 1, 3000);
    QVERIFY(waitForPolls(1));

    // Gone and back at the same path within one poll interval: the same device.
    HidSim::unplug("bus-a");
    HidSim::plug(HidSim::kProductOrviPlus, "bus-a", L"OTHER-SERIAL");
    QVERIFY(waitForPolls(2));
    QCOMPARE(m_notices.size(), 1);

    // Same path but another model is another device.
    HidSim::unplug("bus-a");
    HidSim::plug(HidSim::kProductOrvi, "bus-a");
    QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 3, 3000);
    QVERIFY(!m_notices.at(1).connected);
    QVERIFY(m_notices.at(2).connected);
    QCOMPARE(m_notices.at(2).model, 0);

    // Back at another path: both signals come from one comparison, the disconnection first.
    HidSim::unplug("bus-a");
    HidSim::plug(HidSim::kProductOrvi, "bus-b");
    QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 5, 3000);
    QVERIFY(waitForPolls(1));
    QCOMPARE(m_notices.size(), 5);
    const Notice gone = m_notices.at(3);
    const Notice back = m_notices.at(4);
    QVERIFY(!gone.connected);
    QCOMPARE(gone.path, QStringLiteral("bus-a"));
    QCOMPARE(gone.pathsHeld, QStringList({"bus-b"}));
    QVERIFY(back.connected);
    QCOMPARE(back.path, QStringLiteral("bus-b"));
    QCOMPARE(back.model, 0);
}

void DeviceMonitorTest::startAndStopAreIdempotent()
{
    DeviceMonitor monitor;
    record(monitor);
    monitor.stop();

    // A second start must not add a second poller.
    HidSim::plug(HidSim::kProductOrviPlus, "bus-a");
    monitor.start();
    monitor.start();
    QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 1, 3000);
    const int enumerationsBefore = HidSim::callCounts().enumerations;
    QTest::qWait(3000);
    const int polls = HidSim::callCounts().enumerations - enumerationsBefore;
    QVERIFY2(polls >= 2 && polls <= 4, qPrintable(QString::number(polls)));
    QCOMPARE(m_notices.size(), 1);

    // Stop right as a poll is under way, so that its result is still queued when the
    // worker is gone; it must be dropped, not read.
    const int target = HidSim::callCounts().enumerations + 1;
    QElapsedTimer clock;
    clock.start();
    while (HidSim::callCounts().enumerations < target && clock.elapsed() < 3000)
        QThread::usleep(200);
    monitor.stop();
    monitor.stop();
    HidSim::unplug("bus-a");
    const int enumerationsStopped = HidSim::callCounts().enumerations;
    QTest::qWait(1500);
    QCOMPARE(HidSim::callCounts().enumerations, enumerationsStopped);
    QCOMPARE(m_notices.size(), 1);
    QCOMPARE(monitor.connections().size(), 1);

    // The list kept over the stop is compared with the first poll after the restart.
    monitor.start();
    QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 2, 3000);
    QVERIFY(!m_notices.at(1).connected);
    QCOMPARE(m_notices.at(1).path, QStringLiteral("bus-a"));
}

QTEST_GUILESS_MAIN(DeviceMonitorTest)
#include "device_monitor_test.moc"
