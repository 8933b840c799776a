/*
 * The protocol over the real hidapi (hidraw back end) and emulated /dev/hidraw nodes: what the
 * shipped program does with a device, without one. Runs under umockdev-wrapper.
 */
#include "device_test_support.h"
#include "hidraw_bus.h"

#include <QTemporaryDir>
#include <QtTest>

#include <hidapi.h>

namespace {

bool listed(const std::string& node)
{
    bool found = false;
    hid_device_info* list = hid_enumerate(OrviSim::kVendorId, 0);
    for (hid_device_info* d = list; d != nullptr; d = d->next)
        found |= node == d->path;
    hid_free_enumeration(list);
    return found;
}

OrviSim::DeviceSetup setupFrom(const char* text)
{
    std::vector<OrviSim::DeviceSetup> setups;
    OrviSim::parseDeviceSetups(text, &setups);
    return setups.at(0);
}

} // namespace

class HidrawTransportTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<HidrawEmu::HidrawBus> m_bus;
    QTemporaryDir m_files;

private slots:
    void initTestCase()
    {
        m_bus.reset(new HidrawEmu::HidrawBus);
        if (!m_bus->ok())
            QFAIL("umockdev's preload is not in effect: run the test under umockdev-wrapper");
        QCOMPARE(hid_init(), 0);
        orviSetSectorWaitForTesting(0);
    }

    void cleanup()
    {
        for (const HidrawEmu::NodeDevice& device : m_bus->devices())
            m_bus->unplug(device.node);
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
        const std::string node = m_bus->plug(setupFrom(setup.toLatin1().constData()));
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

    /* The device pulled while the program holds it open, and put back. */
    void unplugWhileOpen()
    {
        const std::string node = m_bus->plug(setupFrom("serial=OP2,mcu=0x0311"));
        unsigned int error = 0;
        OrviDevice* handle = orviOpen(node.c_str(), 1, 2000, &error);
        QVERIFY(handle != nullptr);
        const HidrawEmu::NodeDevice device = m_bus->devices().at(0);
        QVERIFY(m_bus->unplug(node));
        QVERIFY(!listed(node));
        unsigned int ready = 0;
        QCOMPARE(orviCheckReadyForUpdate(handle, 200, &ready), int(ORVI_ERR_WRITE));
        orviClose(handle);
        QVERIFY(orviOpen(node.c_str(), 1, 200, &error) == nullptr);
        QCOMPARE(error, unsigned(ORVI_ERR_OPEN));

        QCOMPARE(m_bus->plugDevice(device), node);
        QVERIFY(listed(node));
        handle = orviOpen(node.c_str(), 1, 2000, &error);
        QVERIFY(handle != nullptr);
        QCOMPARE(orviCheckReadyForUpdate(handle, 200, &ready), int(ORVI_OK));

        /* Pulled in the middle of a transfer: that write fails and the node goes. */
        device.device->unplugAtReport(device.device->reportCount() + 5);
        const QString file = m_files.filePath("fw.bin");
        QVERIFY(writeBytes(file, patternBytes(2000)));
        StdoutCapture quiet;
        QCOMPARE(orviSendMicroFW(handle, localPath(file).c_str(), nullptr), int(ORVI_ERR_WRITE));
        quiet.finish();
        orviClose(handle);
        QVERIFY(m_bus->waitForUnplugged(node, 2000));
        QVERIFY(!listed(node));
    }
};

QTEST_GUILESS_MAIN(HidrawTransportTest)
#include "hidraw_transport_test.moc"
