/* The device emulator and the simulated HID bus: what tests and demos rely on. */
#include "protocol_test_support.h"

#include <QProcess>
#include <QtTest>

#include <atomic>
#include <thread>

using OrviSim::Component;
using OrviSim::HeaderWords;
using OrviSim::OrviEmulator;
using OrviSim::ReplyFault;

namespace {

OrviSim::WriteOutcome feed(OrviEmulator& emulator, const Report& report)
{
    return emulator.receiveReport(report.data(), report.size());
}

/* Feeds one whole sector of content packets starting at sequence `sequence`. */
uint16_t feedSector(OrviEmulator& emulator, uint16_t command, uint16_t sequence, uint8_t fill)
{
    for (int packet = 0; packet < 1171; ++packet) {
        const uint16_t chunk = packet == 1170 ? 16 : 56;
        feed(emulator, request(command, chunk, sequence++, Bytes(chunk, fill)));
    }
    return sequence;
}

bool anyViolationContains(const OrviEmulator& emulator, const QString& text)
{
    for (const auto& violation : emulator.violations()) {
        if (QString::fromStdString(violation.what).contains(text))
            return true;
    }
    return false;
}

std::string violationsText(const OrviEmulator& emulator)
{
    std::string text;
    for (const auto& violation : emulator.violations())
        text += std::to_string(violation.reportNumber) + ": " + violation.what + "\n";
    return text;
}

} // namespace

class OrviEmulatorTest : public QObject {
    Q_OBJECT

private slots:
    void environmentSetsUpTheBus();
    void init();
    void frameViolations_data();
    void frameViolations();
    void sequenceGapSpoilsTransfer();
    void badChecksumIsNotInstalled();
    void contentCutShortIsNotInstalled();
    void contentBeyondFlashIsRefused();
    void headerReplyFaultsCount();
    void unplugAtReport();
    void rebootAfterInstall_data();
    void rebootAfterInstall();
    void rebootAfterContentWithoutTerminator();
    void noRebootAfterFailedTransfer();
    void readWaitsForItsTimeout();
    void unplugWakesWaitingRead();
    void enumerationOrderAndFilters();
    void configurationText_data();
    void configurationText();
    void imageBuilder();
    void makeImageTool();
    void pacingSlowsWrites();
    void transferWhileTestInspects();

private:
    QString path(const QString& name) const { return m_files.filePath(name); }
    QTemporaryDir m_files;
};

void OrviEmulatorTest::environmentSetsUpTheBus()
{
    /* Runs first: hid_init reads the variable once per process. */
    qputenv("ORVI_SIM_DEVICES", "model=plus,path=demo-1,serial=D1,mcu=0x0311,dsp=0x0111,styles=2,"
                                "ensemble=5,reboot-ms=50,reboot-path=demo-2; model=orvi");
    QCOMPARE(hid_init(), 0);
    QCOMPARE(HidSim::paths(), (std::vector<std::string>{"demo-1", "sim-2"}));
    QCOMPARE(hid_init(), 0);
    QCOMPARE(HidSim::paths().size(), size_t(2));

    /* A demo update: the device installs the image, reboots and reports the new version. */
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("demo-1", 1, 500, &error);
    QVERIFY(handle != nullptr);
    OrviHeader header;
    orviGetHeader(handle, &header);
    QCOMPARE(int(header.mcuVersion), 0x0311);
    QCOMPARE(int(header.ensembleVersion), 5);
    const QString file = path("Update.bin");
    QVERIFY(OrviSim::writeImageFile(localPath(file), Component::Mcu, 0x0312, 3000));
    StdoutCapture capture;
    QCOMPARE(orviSendMicroFW(handle, localPath(file).c_str(), nullptr), int(ORVI_OK));
    capture.finish();
    orviClose(handle);
    QVERIFY(HidSim::waitForPlugged("demo-2", 2000));
    handle = orviOpen("demo-2", 1, 500, &error);
    QVERIFY(handle != nullptr);
    orviGetHeader(handle, &header);
    QCOMPARE(int(header.mcuVersion), 0x0312);
    QCOMPARE(int(header.dspVersion), 0x0111);
    orviClose(handle);
    QCOMPARE(hid_exit(), 0);
    qunsetenv("ORVI_SIM_DEVICES");
}

void OrviEmulatorTest::init()
{
    HidSim::reset();
    orviSetSectorWaitForTesting(0);
}

void OrviEmulatorTest::frameViolations_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArray>("report"); /* the report fed after an open request */
    QTest::addColumn<QString>("violation");

    auto bytes = [](const Report& report, int length = 65) {
        return QByteArray(reinterpret_cast<const char*>(report.data()), length);
    };
    Report marker = request(0x0004, 56, 1);
    marker[2] = 0x04;
    Report reportId = request(0x0004, 56, 1);
    reportId[0] = 1;
    Report dspTail = request(0x0002, 54, 1);
    dspTail[9 + 55] = 0x01;
    Report dirtyTerminator = request(0x0015, 0, 0);
    dirtyTerminator[20] = 0x07;

    QTest::newRow("bad marker") << 1 << bytes(marker) << "bad marker";
    QTest::newRow("report ID") << 1 << bytes(reportId) << "report ID 1";
    QTest::newRow("short report") << 1 << bytes(request(0x0004, 56, 1), 64) << "report of 64 bytes";
    QTest::newRow("unknown command") << 1 << bytes(request(0x0009, 0, 0)) << "unknown command 0x0009";
    QTest::newRow("mcu length") << 1 << bytes(request(0x0004, 50, 1)) << "MCU data with length 50";
    QTest::newRow("dsp bytes past 54") << 1 << bytes(dspTail) << "DSP data with data past its end";
    QTest::newRow("sequence skipped") << 1 << bytes(request(0x0004, 56, 2)) << "sequence 2, expected 1";
    QTest::newRow("ready query counted") << 1 << bytes(request(0x0012, 3, 5, {0x0B})) << "ready query with sequence 5";
    QTest::newRow("ready query echo byte") << 1 << bytes(request(0x0012, 3, 0, {0x0C})) << "first payload byte 12";
    QTest::newRow("end without data") << 1 << bytes(request(0x0005, 0, 0)) << "MCU end packet without a transfer";
    QTest::newRow("terminator payload") << 1 << bytes(dirtyTerminator) << "terminating with data past its end";
    QTest::newRow("terminator to an orvi") << 0 << bytes(request(0x0015, 0, 0)) << "takes none";
    QTest::newRow("second open not at 0") << 1 << bytes(request(0x000A, 0, 1)) << "open request with sequence 1";
    QTest::newRow("styles to an orvi") << 0 << bytes(request(0x0014, 56, 1)) << "styles data sent to an Orvi";
}

void OrviEmulatorTest::frameViolations()
{
    QFETCH(int, model);
    QFETCH(QByteArray, report);
    QFETCH(QString, violation);

    OrviEmulator emulator(model);
    feed(emulator, request(0x000A, 0, 0));
    QVERIFY(emulator.violations().empty());
    emulator.receiveReport(reinterpret_cast<const unsigned char*>(report.constData()), size_t(report.size()));
    QVERIFY2(anyViolationContains(emulator, violation), violationsText(emulator).c_str());
    QCOMPARE(emulator.violations().front().reportNumber, 2);
    QCOMPARE(emulator.reportCount(), 2);
    QCOMPARE(emulator.frames().size(), size_t(2));

    OrviEmulator fresh(model);
    feed(fresh, request(0x0004, 56, 1));
    QVERIFY(anyViolationContains(fresh, "before any open request"));
}

void OrviEmulatorTest::sequenceGapSpoilsTransfer()
{
    OrviEmulator emulator(1);
    feed(emulator, request(0x000A, 0, 0));
    feed(emulator, request(0x0004, 56, 1, Bytes(56, 0x11)));
    feed(emulator, request(0x0004, 56, 3, Bytes(56, 0x22)));
    feed(emulator, request(0x0005, 0, 3, {0x00}));
    QVERIFY(anyViolationContains(emulator, "sequence 3, expected 2"));
    const auto transfer = emulator.lastTransfer(Component::Mcu);
    QVERIFY(transfer->ended);
    QVERIFY(transfer->checksumOk); /* the data is intact, the lost packet is not */
    QVERIFY(!transfer->sequenceOk);
    QVERIFY(!transfer->installed);
    QCOMPARE(emulator.installCount(), 0);
}

void OrviEmulatorTest::badChecksumIsNotInstalled()
{
    OrviEmulator emulator(1);
    emulator.setRebootBehaviour({true, 0, "", std::nullopt});
    feed(emulator, request(0x000A, 0, 0));
    feed(emulator, request(0x0002, 54, 1, {0x01, 0xFF, 0x10}));
    feed(emulator, request(0x0003, 0, 1, {0xEF}));
    auto transfer = emulator.lastTransfer(Component::Dsp);
    QCOMPARE(int(transfer->dataChecksum), 0xEE);
    QCOMPARE(int(transfer->endPacketChecksum), 0xEF);
    QVERIFY(!transfer->checksumOk);
    QVERIFY(!transfer->installed);
    QVERIFY(!emulator.installedImage(Component::Dsp));
    QVERIFY(!emulator.rebootPending());

    /* The same image with the right checksum and an end packet carrying the wrong number. */
    feed(emulator, request(0x0002, 54, 2, {0x01, 0xFF, 0x10}));
    feed(emulator, request(0x0003, 0, 1, {0xEE}));
    QVERIFY(anyViolationContains(emulator, "DSP end packet with sequence 1, last data packet 2"));
    QVERIFY(!emulator.lastTransfer(Component::Dsp)->installed);

    feed(emulator, request(0x0002, 54, 3, {0x01, 0xFF, 0x10}));
    feed(emulator, request(0x0003, 0, 3, {0xEE}));
    transfer = emulator.lastTransfer(Component::Dsp);
    QVERIFY(transfer->installed);
    QVERIFY(transfer->holdsExactly({0x01, 0xFF, 0x10}));
    QVERIFY(!transfer->holdsExactly({0x01, 0xFF}));
    Bytes longer(54, 0); /* would have needed a second packet */
    longer[0] = 0x01, longer[1] = 0xFF, longer[2] = 0x10;
    QVERIFY(!transfer->holdsExactly(longer));
    QVERIFY(emulator.rebootPending());
}

void OrviEmulatorTest::contentCutShortIsNotInstalled()
{
    OrviEmulator emulator(1);
    feed(emulator, request(0x000A, 0, 0));
    uint16_t sequence = feedSector(emulator, 0x0007, 1, 0xA1);
    for (int i = 0; i < 100; ++i)
        feed(emulator, request(0x0007, 56, sequence++, Bytes(56, 0xA2)));
    feed(emulator, request(0x0015, 0, 0));
    QVERIFY(anyViolationContains(emulator, "terminating packet inside a sector"));
    auto transfer = emulator.lastTransfer(Component::Ensemble);
    QCOMPARE(transfer->sectorsComplete, 1);
    QCOMPARE(transfer->received.size(), size_t(65536 + 5600));
    QVERIFY(transfer->terminated);
    QVERIFY(!transfer->installed);

    /* A whole sector and then silence: without a terminating packet there is no install. */
    feed(emulator, request(0x000A, 0, 0));
    feedSector(emulator, 0x0014, 1, 0xB1);
    feed(emulator, request(0x0012, 3, 0, {0x0B}));
    transfer = emulator.lastTransfer(Component::Styles);
    QCOMPARE(transfer->sectorsComplete, 1);
    QVERIFY(!transfer->installed);
    QCOMPARE(emulator.installCount(), 0);
}

void OrviEmulatorTest::contentBeyondFlashIsRefused()
{
    OrviEmulator emulator(1);
    emulator.setFrameLogEnabled(false);
    feed(emulator, request(0x000A, 0, 0));
    uint16_t sequence = 1;
    for (int sector = 0; sector < 33; ++sector)
        sequence = feedSector(emulator, 0x0014, sequence, uint8_t(sector));
    feed(emulator, request(0x0015, 0, 0));
    QVERIFY(anyViolationContains(emulator, "beyond the 32 sectors"));
    const auto transfer = emulator.lastTransfer(Component::Styles);
    QCOMPARE(transfer->sectorsComplete, 33);
    QVERIFY(!transfer->fitsFlash);
    QVERIFY(!transfer->installed);
    QCOMPARE(emulator.frames().size(), size_t(0));
    QCOMPARE(emulator.reportCount(), 1 + 33 * 1171 + 1);
}

void OrviEmulatorTest::headerReplyFaultsCount()
{
    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    emulator->setHeaderReplyFault({ReplyFault::NoReply, 2, 0});
    unsigned int error = 0;
    QVERIFY(orviOpen("dev-1", 1, 20, &error) == nullptr);
    QCOMPARE(error, unsigned(ORVI_ERR_TIMEOUT));
    QVERIFY(orviOpen("dev-1", 1, 20, &error) == nullptr);
    OrviDevice* handle = orviOpen("dev-1", 1, 20, &error);
    QVERIFY(handle != nullptr);
    QCOMPARE(emulator->openRequestCount(), 3);
    orviClose(handle);
}

void OrviEmulatorTest::unplugAtReport()
{
    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1", L"S1");
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("dev-1", 1, 500, &error);
    QVERIFY(handle != nullptr);
    emulator->unplugAtReport(4);
    const QString file = path("fw.bin");
    QVERIFY(writeBytes(file, patternBytes(500)));
    StdoutCapture capture;
    QCOMPARE(orviSendMicroFW(handle, localPath(file).c_str(), nullptr), int(ORVI_ERR_WRITE));
    capture.finish();
    QCOMPARE(emulator->reportCount(), 4);
    QVERIFY(HidSim::paths().empty());
    QVERIFY(hid_enumerate(0, 0) == nullptr);
    unsigned int ready = 0;
    QCOMPARE(orviCheckReadyForUpdate(handle, 100, &ready), int(ORVI_ERR_WRITE));
    unsigned char buffer[64];
    QCOMPARE(hid_read_timeout(handle->hid, buffer, sizeof buffer, 100), -1);
    QCOMPARE(emulator->reportCount(), 4); /* nothing reaches a device that is gone */
    orviClose(handle);
    QVERIFY(orviOpen("dev-1", 1, 100, &error) == nullptr);
    QCOMPARE(error, unsigned(ORVI_ERR_OPEN));

    /* Plugged in again, the same device answers. */
    HidSim::plugDevice({"dev-1", L"S1", HidSim::kVendorId, HidSim::kProductOrviPlus, emulator});
    handle = orviOpen("dev-1", 1, 500, &error);
    QVERIFY(handle != nullptr);
    orviClose(handle);
}

void OrviEmulatorTest::rebootAfterInstall_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("component");
    QTest::addColumn<int>("mcuWord");
    QTest::addColumn<QString>("newPath");
    QTest::addColumn<int>("version");
    QTest::addColumn<QList<int>>("expectedHeader"); /* mcu, dsp, styles, ensemble as decoded */

    QTest::newRow("orvi+ mcu, same path") << 1 << int(Component::Mcu) << 0x0311 << "" << 0x0315
                                          << QList<int>{0x0315, 0x0312, 1, 1};
    QTest::newRow("orvi+ mcu, new path") << 1 << int(Component::Mcu) << 0x0311 << "dev-9" << 0x0240
                                         << QList<int>{0x0240, 0x0312, 1, 1};
    QTest::newRow("orvi+ dsp packed under an old mcu") << 1 << int(Component::Dsp) << 0x0050 << "" << 0x0113
                                                       << QList<int>{0x0050, 0x0113, 1, 1};
    QTest::newRow("orvi+ styles") << 1 << int(Component::Styles) << 0x0312 << "" << 7
                                  << QList<int>{0x0312, 0x0312, 7, 1};
    QTest::newRow("orvi+ ensemble") << 1 << int(Component::Ensemble) << 0x0312 << "" << 0x10002
                                    << QList<int>{0x0312, 0x0312, 1, 0x10002};
    QTest::newRow("orvi dsp") << 0 << int(Component::Dsp) << 0x0012 << "" << 0x0021
                              << QList<int>{0x0312, 0x0321, 1, 1};
}

void OrviEmulatorTest::rebootAfterInstall()
{
    QFETCH(int, model);
    QFETCH(int, component);
    QFETCH(int, mcuWord);
    QFETCH(QString, newPath);
    QFETCH(int, version);
    QFETCH(QList<int>, expectedHeader);

    auto emulator = HidSim::plug(model == 0 ? HidSim::kProductOrvi : HidSim::kProductOrviPlus, "dev-1");
    HeaderWords words;
    words.mcuWord = uint16_t(mcuWord);
    emulator->setHeaderWords(words);
    emulator->setRebootBehaviour({true, 400, newPath.toStdString(), std::nullopt});
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("dev-1", model, 500, &error);
    QVERIFY(handle != nullptr);

    const Component type = Component(component);
    const QString file = path("image");
    QVERIFY(OrviSim::writeImageFile(localPath(file), type, uint32_t(version), 1000));
    using Send = int (*)(OrviDevice*, const char*, const OrviProgress*);
    const Send send[] = {orviSendMicroFW, orviSendDspFW, orviSendStyles, orviSendEnsemble};
    StdoutCapture capture;
    QCOMPARE(send[component](handle, localPath(file).c_str(), nullptr), int(ORVI_OK));
    capture.finish();
    QVERIFY2(emulator->violations().empty(), violationsText(*emulator).c_str());

    /* Gone at once, back after the reboot time with the new version. */
    QVERIFY(HidSim::paths().empty());
    QVERIFY(HidSim::rebootPending());
    unsigned int ready = 0;
    QCOMPARE(orviCheckReadyForUpdate(handle, 50, &ready), int(ORVI_ERR_WRITE));
    orviClose(handle);
    const std::string backAt = newPath.isEmpty() ? "dev-1" : newPath.toStdString();
    QVERIFY(!HidSim::waitForPlugged(backAt, 50));
    QVERIFY(HidSim::waitForPlugged(backAt, 3000));
    QVERIFY(!HidSim::rebootPending());
    QVERIFY(HidSim::device(backAt) == emulator);

    handle = orviOpen(backAt.c_str(), model, 500, &error);
    QVERIFY(handle != nullptr);
    OrviHeader header;
    orviGetHeader(handle, &header);
    QCOMPARE(int(header.mcuVersion), expectedHeader[0]);
    QCOMPARE(int(header.dspVersion), expectedHeader[1]);
    QCOMPARE(int(header.stylesVersion), expectedHeader[2]);
    QCOMPARE(int(header.ensembleVersion), expectedHeader[3]);
    orviClose(handle);
    QVERIFY(*emulator->installedImage(type) == OrviSim::buildImage(type, uint32_t(version), 1000));
}

void OrviEmulatorTest::rebootAfterContentWithoutTerminator()
{
    /* An Orvi gets no terminating packet: the image tag tells it where the content ends. */
    auto emulator = HidSim::plug(HidSim::kProductOrvi, "dev-1");
    emulator->setRebootBehaviour({true, 0, "", std::nullopt});
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("dev-1", 0, 500, &error);
    QVERIFY(handle != nullptr);
    const QString file = path("audio.flac");
    QVERIFY(OrviSim::writeImageFile(localPath(file), Component::Ensemble, 77, 2 * 65536));
    StdoutCapture capture;
    QCOMPARE(orviSendEnsemble(handle, localPath(file).c_str(), nullptr), int(ORVI_OK));
    capture.finish();
    orviClose(handle);
    QVERIFY(emulator->lastTransfer(Component::Ensemble)->installed);
    QVERIFY(HidSim::waitForPlugged("dev-1", 1000));
    handle = orviOpen("dev-1", 0, 500, &error);
    QVERIFY(handle != nullptr);
    OrviHeader header;
    orviGetHeader(handle, &header);
    QCOMPARE(header.ensembleVersion, 77u);
    orviClose(handle);
}

void OrviEmulatorTest::noRebootAfterFailedTransfer()
{
    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    emulator->setRebootBehaviour({true, 0, "", std::nullopt});
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("dev-1", 1, 500, &error);
    QVERIFY(handle != nullptr);
    const QString file = path("fw.bin");
    QVERIFY(OrviSim::writeImageFile(localPath(file), Component::Mcu, 0x0399, 1000));
    emulator->failWriteAtReport(5);
    StdoutCapture capture;
    QCOMPARE(orviSendMicroFW(handle, localPath(file).c_str(), nullptr), int(ORVI_ERR_WRITE));
    capture.finish();
    QCOMPARE(HidSim::paths(), std::vector<std::string>{"dev-1"});
    QVERIFY(!HidSim::rebootPending());
    orviClose(handle);
    handle = orviOpen("dev-1", 1, 500, &error);
    OrviHeader header;
    orviGetHeader(handle, &header);
    QCOMPARE(int(header.mcuVersion), 0x0312);
    orviClose(handle);
}

void OrviEmulatorTest::readWaitsForItsTimeout()
{
    HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    hid_device* handle = hid_open_path("dev-1");
    QVERIFY(handle != nullptr);
    unsigned char buffer[64];
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(hid_read_timeout(handle, buffer, sizeof buffer, 120), 0);
    QVERIFY2(clock.elapsed() >= 115, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(hid_read_timeout(handle, buffer, sizeof buffer, 0), 0);

    /* A reply queued earlier is taken by the next read, nothing is drained. */
    const Report open = request(0x000A, 0, 0);
    QCOMPARE(hid_write(handle, open.data(), open.size()), 65);
    QCOMPARE(hid_write(handle, open.data(), open.size()), 65);
    QCOMPARE(hid_read_timeout(handle, buffer, 10, 0), 10);
    QCOMPARE(hid_read_timeout(handle, buffer, sizeof buffer, 0), 64);
    QCOMPARE(int(buffer[2]), 0x09);
    QCOMPARE(hid_read_timeout(handle, buffer, sizeof buffer, 0), 0);
    hid_close(handle);
    const HidSim::CallCounts counts = HidSim::callCounts();
    QCOMPARE(counts.opens, 1);
    QCOMPARE(counts.writes, 2);
    QCOMPARE(counts.reads, 5);
    QCOMPARE(counts.closes, 1);
}

void OrviEmulatorTest::unplugWakesWaitingRead()
{
    HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    hid_device* handle = hid_open_path("dev-1");
    QVERIFY(handle != nullptr);
    std::atomic<int> result{1};
    QElapsedTimer clock;
    clock.start();
    std::thread reader([&] {
        unsigned char buffer[64];
        result = hid_read_timeout(handle, buffer, sizeof buffer, 10000);
    });
    QTest::qWait(50);
    QVERIFY(HidSim::unplug("dev-1"));
    reader.join();
    QCOMPARE(result.load(), -1);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(!HidSim::unplug("dev-1"));
    hid_close(handle);
}

void OrviEmulatorTest::enumerationOrderAndFilters()
{
    HidSim::plug(HidSim::kProductOrviPlus, "c-plus", L"SERIAL-C");
    HidSim::plug(HidSim::kProductOrvi, "a-orvi", L"SERIAL-A");
    HidSim::plug(0x0044, "b-other", L"");
    HidSim::plug(0x0043, "d-foreign", L"X", 0x1234);

    auto list = [](unsigned short vendor, unsigned short product) {
        QStringList entries;
        hid_device_info* devices = hid_enumerate(vendor, product);
        for (hid_device_info* d = devices; d != nullptr; d = d->next) {
            entries << QString("%1 %2 %3 %4")
                           .arg(d->path)
                           .arg(d->vendor_id, 4, 16, QChar('0'))
                           .arg(d->product_id, 4, 16, QChar('0'))
                           .arg(QString::fromWCharArray(d->serial_number));
        }
        hid_free_enumeration(devices);
        return entries;
    };
    QCOMPARE(list(0x7A3C, 0), (QStringList{"c-plus 7a3c 0043 SERIAL-C", "a-orvi 7a3c 0042 SERIAL-A",
                                           "b-other 7a3c 0044 "}));
    QCOMPARE(list(0x7A3C, 0x0042), QStringList{"a-orvi 7a3c 0042 SERIAL-A"});
    QCOMPARE(list(0, 0).size(), 4);

    /* Plugging again at a known path puts the device at the end. */
    HidSim::plug(HidSim::kProductOrviPlus, "c-plus", L"SERIAL-C2");
    QCOMPARE(HidSim::paths(), (std::vector<std::string>{"a-orvi", "b-other", "d-foreign", "c-plus"}));
    QCOMPARE(HidSim::device("b-other")->model(), 1);
    QCOMPARE(HidSim::device("a-orvi")->model(), 0);
    QVERIFY(HidSim::device("nothing") == nullptr);
}

void OrviEmulatorTest::configurationText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("empty") << "" << true;
    QTest::newRow("two devices") << "model=orvi,path=x; model=0x0044,ready=3,pacing-us=0;" << true;
    QTest::newRow("unknown key") << "model=plus,colour=red" << false;
    QTest::newRow("no value") << "model=plus,path" << false;
    QTest::newRow("bad number") << "mcu=0x1G" << false;
    QTest::newRow("word too big") << "dsp=0x10000" << false;
    QTest::newRow("bad model") << "model=orvi2" << false;
    QTest::newRow("negative") << "reboot-ms=-5" << false;
    QTest::newRow("bad second device spoils all") << "model=plus;ready=soon" << false;
}

void OrviEmulatorTest::configurationText()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);

    QCOMPARE(HidSim::configureFromText(text.toStdString()), valid);
    if (!valid) {
        QVERIFY(HidSim::paths().empty());
        return;
    }
    if (text.isEmpty()) {
        QVERIFY(HidSim::paths().empty());
        return;
    }
    const auto devices = HidSim::devices();
    QCOMPARE(devices.size(), size_t(2));
    QCOMPARE(devices[0].path, std::string("x"));
    QCOMPARE(devices[0].productId, HidSim::kProductOrvi);
    QVERIFY(devices[0].serialNumber == L"SIM0001");
    QCOMPARE(devices[1].path, std::string("sim-2"));
    QCOMPARE(devices[1].productId, uint16_t(0x0044));
    QVERIFY(devices[0].device->rebootBehaviour().enabled);
    QCOMPARE(devices[0].device->rebootBehaviour().goneMs, 3000);

    /* ready=3: three not-ready answers, then ready. */
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("sim-2", 1, 500, &error);
    QVERIFY(handle != nullptr);
    QList<unsigned> answers;
    for (int i = 0; i < 4; ++i) {
        unsigned int ready = 9;
        QCOMPARE(orviCheckReadyForUpdate(handle, 100, &ready), 0);
        answers << ready;
    }
    QCOMPARE(answers, (QList<unsigned>{0, 0, 0, 1}));
    orviClose(handle);
}

void OrviEmulatorTest::imageBuilder()
{
    const Bytes image = OrviSim::buildImage(Component::Styles, 0x1234, 500);
    QCOMPARE(image.size(), size_t(500));
    const auto tag = OrviSim::readImageTag(image.data(), image.size());
    QVERIFY(tag);
    QCOMPARE(int(tag->component), int(Component::Styles));
    QCOMPARE(tag->version, 0x1234u);
    QCOMPARE(tag->length, 500u);
    QVERIFY(image != OrviSim::buildImage(Component::Styles, 0x1235, 500));
    QVERIFY(image != OrviSim::buildImage(Component::Ensemble, 0x1234, 500));
    QVERIFY(!OrviSim::readImageTag(image.data(), 15));
    const Bytes tiny = OrviSim::buildImage(Component::Mcu, 1, 10);
    QCOMPARE(tiny.size(), size_t(10));
    QVERIFY(!OrviSim::readImageTag(tiny.data(), tiny.size()));
    QVERIFY(!OrviSim::readImageTag(patternBytes(64).data(), 64));

    const QString dspPath = path("dsp.ldr");
    QVERIFY(OrviSim::writeImageFile(localPath(dspPath), Component::Dsp, 0x0120, 300));
    QFile dspFile(dspPath);
    QVERIFY(dspFile.open(QIODevice::ReadOnly));
    const QByteArray text = dspFile.readAll();
    QCOMPARE(text.count('\n'), 300);
    Bytes decoded;
    QVERIFY(OrviSim::bytesFromDspText(text.toStdString(), &decoded));
    QVERIFY(decoded == OrviSim::buildImage(Component::Dsp, 0x0120, 300));
    QVERIFY(OrviSim::bytesFromDspText("0x1F\r\n0x2\n0x", &decoded));
    QVERIFY(decoded == (Bytes{0x1F, 0x02, 0x00}));
    QVERIFY(!OrviSim::bytesFromDspText("0x1F\n\n", &decoded));
    QVERIFY(!OrviSim::bytesFromDspText("0x100\n", &decoded));
    QVERIFY(!OrviSim::writeImageFile(localPath(path("missing-dir/x.bin")), Component::Mcu, 1, 100));
}

void OrviEmulatorTest::makeImageTool()
{
    const QString output = path("StyleData.bin");
    QProcess tool;
    tool.start(ORVI_MAKE_IMAGE_PATH, {"styles", "0x0007", "70000", output});
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 0);
    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    QVERIFY(Bytes(written.begin(), written.end()) == OrviSim::buildImage(Component::Styles, 7, 70000));

    for (const QStringList& arguments : {QStringList{"firmware", "1", "100", output},
                                         QStringList{"mcu", "0x10000", "100", output},
                                         QStringList{"mcu", "1", "8", output},
                                         QStringList{"dsp", "-1", "100", output},
                                         QStringList{"dsp", "1", "100"}}) {
        tool.start(ORVI_MAKE_IMAGE_PATH, arguments);
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 2);
    }
    tool.start(ORVI_MAKE_IMAGE_PATH, {"mcu", "1", "100", path("missing-dir/out.bin")});
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 1);
}

void OrviEmulatorTest::pacingSlowsWrites()
{
    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("dev-1", 1, 500, &error);
    QVERIFY(handle != nullptr);
    emulator->setReportPacingUs(1000);
    const QString file = path("fw.bin");
    QVERIFY(writeBytes(file, patternBytes(56 * 40)));
    QElapsedTimer clock;
    clock.start();
    StdoutCapture capture;
    QCOMPARE(orviSendMicroFW(handle, localPath(file).c_str(), nullptr), int(ORVI_OK));
    capture.finish();
    QVERIFY2(clock.elapsed() >= 40, qPrintable(QString::number(clock.elapsed())));
    orviClose(handle);
}

void OrviEmulatorTest::transferWhileTestInspects()
{
    /* A transfer in a worker thread while this thread watches the bus and the device. */
    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    const QString file = path("content.bin");
    const Bytes content = patternBytes(3 * 65536 + 5);
    QVERIFY(writeBytes(file, content));
    std::atomic<int> result{-1};
    StdoutCapture capture;
    std::thread worker([&] {
        unsigned int error = 0;
        OrviDevice* handle = orviOpen("dev-1", 1, 500, &error);
        if (handle == nullptr)
            return;
        result = orviSendEnsemble(handle, localPath(file).c_str(), nullptr);
        orviClose(handle);
    });
    int looks = 0;
    while (result.load() == -1 && looks < 100000) {
        QCOMPARE(HidSim::paths().size(), size_t(1));
        QVERIFY(emulator->violations().empty());
        if (++looks % 64 == 0)
            QVERIFY(emulator->transfers().size() <= 1);
    }
    worker.join();
    capture.finish();
    QCOMPARE(result.load(), int(ORVI_OK));
    QVERIFY(emulator->lastTransfer(Component::Ensemble)->holdsExactly(content));
    QVERIFY(emulator->violations().empty());
}

QTEST_GUILESS_MAIN(OrviEmulatorTest)
#include "orvi_emulator_test.moc"
