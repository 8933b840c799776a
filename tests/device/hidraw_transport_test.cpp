/* Reply faults of the real hidapi (hidraw back end) over emulated /dev/hidraw nodes, as the protocol's codes.
 * Runs under umockdev-wrapper. */
#include "device_test_support.h"
#include "hidraw_bus.h"

#include <QtTest>

#include <hidapi.h>

class HidrawTransportTest : public QObject {
    Q_OBJECT

    std::unique_ptr<HidrawEmu::HidrawBus> m_bus;

private slots:
    void initTestCase()
    {
        m_bus.reset(new HidrawEmu::HidrawBus);
        if (!m_bus->ok())
            QFAIL("umockdev's preload is not in effect: run the test under umockdev-wrapper");
        QCOMPARE(hid_init(), 0);
    }

    void cleanupTestCase()
    {
        m_bus.reset();
        hid_exit();
    }

    /* Faults of the reply path reach the protocol as the codes it has for them. */
    void replyFaults_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("openResult");
        QTest::addColumn<int>("readyResult");
        QTest::newRow("open refused") << "refuse-open=yes" << int(ORVI_ERR_OPEN) << 0;
        QTest::newRow("no header reply") << "header-fault=no-reply:1" << int(ORVI_ERR_TIMEOUT) << 0;
        QTest::newRow("bad marker") << "header-fault=bad-marker:1" << int(ORVI_ERR_BAD_MARKER) << 0;
        QTest::newRow("ready read fails") << "ready-fault=read-error:1" << 0 << int(ORVI_ERR_READ);
        QTest::newRow("reply after the time-out") << "reply-delay-ms=300" << int(ORVI_ERR_TIMEOUT) << 0;
    }

    void replyFaults()
    {
        QFETCH(QString, setup);
        QFETCH(int, openResult);
        QFETCH(int, readyResult);
        std::vector<OrviSim::DeviceSetup> setups;
        OrviSim::parseDeviceSetups(setup.toLatin1().constData(), &setups);
        const std::string node = m_bus->plug(setups.at(0));
        unsigned int error = 0;
        OrviDevice* handle = orviOpen(node.c_str(), 1, 200, &error);
        QCOMPARE(handle == nullptr ? int(error) : 0, openResult);
        if (handle == nullptr)
            return;
        unsigned int ready = 0;
        QCOMPARE(orviCheckReadyForUpdate(handle, 200, &ready), readyResult);
        /* A spoiled reply is not left behind for the next request. */
        QCOMPARE(orviCheckReadyForUpdate(handle, 200, &ready), int(ORVI_OK));
        orviClose(handle);
    }

};

QTEST_GUILESS_MAIN(HidrawTransportTest)
#include "hidraw_transport_test.moc"
