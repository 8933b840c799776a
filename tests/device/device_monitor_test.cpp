#include "device/device_monitor.h"
#include "device_test_support.h"

#include <QtTest>

using OrviPlus::Connection;
using OrviPlus::DeviceMonitor;

class DeviceMonitorTest : public QObject {
    Q_OBJECT

    // One signal as a receiver saw it: "+path model serial" or "-path", and the list held then.
    QStringList m_notices;

    void record(DeviceMonitor& monitor)
    {
        const auto held = [&monitor] {
            QStringList paths;
            for (const Connection& connection : monitor.connections())
                paths << connection.path;
            return " [" + paths.join(' ') + "]";
        };
        connect(&monitor, &DeviceMonitor::connected, this, [this, held](const Connection& c) {
            m_notices << QString("+%1 %2 %3").arg(c.path).arg(c.model).arg(c.serialNumber) + held();
        });
        connect(&monitor, &DeviceMonitor::disconnected, this, [this, held](const QString& path) {
            m_notices << "-" + path + held();
        });
    }

    // Waits until the bus has been enumerated once more and that result has been compared.
    static bool waitForPoll()
    {
        const int target = HidSim::callCounts().enumerations + 1;
        const bool polled = QTest::qWaitFor([target] { return HidSim::callCounts().enumerations >= target; }, 2500);
        QTest::qWait(100);
        return polled;
    }

private slots:
    void reportsChangesBetweenPolls()
    {
        DeviceMonitor monitor;
        record(monitor);
        monitor.start();
        QVERIFY(waitForPoll());
        QCOMPARE(m_notices, QStringList());

        // Other products and other vendors are left out; the rest come in enumeration order.
        HidSim::plug(HidSim::kProductOrviPlus, "bus-plus", L"SN-PLUS");
        HidSim::plug(0x0044, "bus-other", L"SN-OTHER");
        HidSim::plug(HidSim::kProductOrvi, "bus-orvi");
        HidSim::plug(HidSim::kProductOrviPlus, "bus-foreign", L"SN-FOREIGN", 0x1234);
        QVERIFY(waitForPoll());
        QCOMPARE(m_notices,
                 QStringList({"+bus-plus 1 SN-PLUS [bus-plus bus-orvi]", "+bus-orvi 0  [bus-plus bus-orvi]"}));

        // Back at the same path and model: the same device. At another path: gone, then new, in one comparison.
        m_notices.clear();
        HidSim::unplug("bus-plus");
        HidSim::plug(HidSim::kProductOrviPlus, "bus-plus", L"OTHER-SERIAL");
        HidSim::unplug("bus-orvi");
        HidSim::plug(HidSim::kProductOrvi, "bus-orvi-2");
        QVERIFY(waitForPoll());
        QCOMPARE(m_notices, QStringList({"-bus-orvi [bus-plus bus-orvi-2]", "+bus-orvi-2 0  [bus-plus bus-orvi-2]"}));
    }

};

QTEST_GUILESS_MAIN(DeviceMonitorTest)
#include "device_monitor_test.moc"
