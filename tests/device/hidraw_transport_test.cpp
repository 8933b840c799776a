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

struct Enumerated {
    std::string path;
    uint16_t productId;
    std::wstring serial;
    std::wstring manufacturer;
    std::wstring product;
};

std::vector<Enumerated> enumerate()
{
    std::vector<Enumerated> found;
    hid_device_info* list = hid_enumerate(OrviSim::kVendorId, 0);
    for (hid_device_info* d = list; d != nullptr; d = d->next)
        found.push_back({d->path, d->product_id, d->serial_number ? d->serial_number : L"",
                         d->manufacturer_string ? d->manufacturer_string : L"",
                         d->product_string ? d->product_string : L""});
    hid_free_enumeration(list);
    return found;
}

bool listed(const std::string& node)
{
    for (const Enumerated& e : enumerate()) {
        if (e.path == node)
            return true;
    }
    return false;
}

OrviSim::DeviceSetup setupFrom(const char* text)
{
    std::vector<OrviSim::DeviceSetup> setups;
    OrviSim::parseDeviceSetups(text, &setups);
    return setups.at(0);
}

QString headerText(OrviDevice* handle)
{
    OrviHeader header;
    orviGetHeader(handle, &header);
    return QString::asprintf("%04X %04X %u %u", header.mcuVersion, header.dspVersion, header.stylesVersion,
                             header.ensembleVersion);
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

    /* Enumeration as the device monitor does it, then the header read of the device agent. */
    void enumerateAndOpen()
    {
        const std::string plus = m_bus->plug(setupFrom("model=plus,serial=OP7,mcu=0x0311,dsp=0x0211,styles=2,ensemble=5"));
        const std::string orvi = m_bus->plug(setupFrom("model=orvi,serial=OV1,mcu=0x0012,dsp=0x0120"));
        QCOMPARE(plus, std::string("/dev/hidraw0"));
        QCOMPARE(orvi, std::string("/dev/hidraw1"));

        const std::vector<Enumerated> found = enumerate();
        QCOMPARE(found.size(), size_t(2));
        std::map<std::string, Enumerated> byPath;
        for (const Enumerated& e : found)
            byPath[e.path] = e;
        QCOMPARE(byPath.at(plus).productId, OrviSim::kProductOrviPlus);
        QVERIFY(byPath.at(plus).serial == L"OP7");
        QVERIFY(byPath.at(plus).manufacturer == L"Brevanto" && byPath.at(plus).product == L"Orvi+");
        QCOMPARE(byPath.at(orvi).productId, OrviSim::kProductOrvi);
        QVERIFY(byPath.at(orvi).serial == L"OV1");

        unsigned int error = 0;
        OrviDevice* handle = orviOpen(plus.c_str(), 1, 2000, &error);
        QVERIFY2(handle != nullptr, qPrintable(QString::number(error)));
        QCOMPARE(headerText(handle), QStringLiteral("0311 0211 2 5"));
        unsigned int ready = 9;
        QCOMPARE(orviCheckReadyForUpdate(handle, 200, &ready), int(ORVI_OK));
        QCOMPARE(ready, 1u);
        orviClose(handle);
        handle = orviOpen(orvi.c_str(), 0, 2000, &error);
        QVERIFY(handle != nullptr);
        QCOMPARE(headerText(handle), QStringLiteral("0312 0320 1 1"));
        orviClose(handle);
    }

    /* Faults of the reply path reach the protocol as the codes it has for them. */
    void replyFaults_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("openResult");
        QTest::addColumn<int>("readyResult");
        QTest::newRow("open refused") << "refuse-open=yes" << int(ORVI_ERR_OPEN) << 0;
        QTest::newRow("no header reply") << "header-fault=no-reply:1" << int(ORVI_ERR_TIMEOUT) << 0;
        QTest::newRow("header read fails") << "header-fault=read-error:1" << int(ORVI_ERR_READ) << 0;
        QTest::newRow("bad marker") << "header-fault=bad-marker:1" << int(ORVI_ERR_BAD_MARKER) << 0;
        QTest::newRow("late ready reply") << "ready-fault=no-reply:1" << 0 << int(ORVI_ERR_TIMEOUT);
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

    /* Every component sent, installed, and the device restarting into its new version. */
    void installAndRestart_data()
    {
        QTest::addColumn<int>("component");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("header");
        QTest::newRow("mcu") << int(OrviSim::Component::Mcu) << 3000 << "0313 0311 2 5";
        QTest::newRow("styles") << int(OrviSim::Component::Styles) << 40000 << "0311 0311 787 5";
    }

    void installAndRestart()
    {
        QFETCH(int, component);
        QFETCH(int, size);
        QFETCH(QString, header);
        const auto type = OrviSim::Component(component);
        const std::string node = m_bus->plug(
            setupFrom("serial=OP1,mcu=0x0311,dsp=0x0311,styles=2,ensemble=5,reboot-ms=100,pacing-us=100"));
        std::vector<std::string> installed;
        m_bus->setEventHandler([&](const HidrawEmu::BusEvent& e) {
            if (e.kind == HidrawEmu::BusEvent::Installed)
                installed.push_back(e.text);
        });
        const QString file = m_files.filePath("image");
        QVERIFY(OrviSim::writeImageFile(localPath(file), type, type == OrviSim::Component::Mcu
                                        || type == OrviSim::Component::Dsp ? 0x0313 : 787, std::size_t(size)));

        unsigned int error = 0;
        OrviDevice* handle = orviOpen(node.c_str(), 1, 2000, &error);
        QVERIFY(handle != nullptr);
        const HidrawEmu::Statistics before = m_bus->statistics();
        StdoutCapture quiet;
        QCOMPARE(kSend[component](handle, localPath(file).c_str(), nullptr), int(ORVI_OK));
        quiet.finish();
        const HidrawEmu::Statistics after = m_bus->statistics();
        orviClose(handle);
        m_bus->setEventHandler(nullptr);
        QCOMPARE(installed, std::vector<std::string>{OrviSim::componentName(type)});

        QVERIFY(m_bus->waitForUnplugged(node, 2000));
        QVERIFY(!listed(node));
        QVERIFY(m_bus->waitForPlugged(node, 3000));
        QVERIFY(listed(node));
        handle = orviOpen(node.c_str(), 1, 2000, &error);
        QVERIFY(handle != nullptr);
        QCOMPARE(headerText(handle), header);
        orviClose(handle);

        /* The device's own share of the time, which a benchmark takes out of what it measures. */
        QCOMPARE(after.pacedUs - before.pacedUs, int64_t(100) * (after.reports - before.reports));
        QCOMPARE(after.restarts - before.restarts, 1L);
        QCOMPARE(m_bus->device(node)->installedImage(type).value(),
                 OrviSim::buildImage(type, type == OrviSim::Component::Mcu || type == OrviSim::Component::Dsp ? 0x0313 : 787,
                                     std::size_t(size)));
        QVERIFY(m_bus->device(node)->violations().empty());
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
