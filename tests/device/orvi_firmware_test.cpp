/* MCU and DSP firmware transfers: frames, console output, progress and failures. */
#include "protocol_test_support.h"

#include <QtTest>

using OrviSim::Component;

namespace {

struct ProgressLog {
    std::vector<float> fractions;
    std::vector<long> totals;
    int stopAtCall = 0; /* 1-based; 0 never stops */
};

int recordProgress(float fraction, long total, void* userData)
{
    auto* log = static_cast<ProgressLog*>(userData);
    log->fractions.push_back(fraction);
    log->totals.push_back(total);
    return int(log->fractions.size()) == log->stopAtCall ? 1 : 0;
}

} // namespace

class OrviFirmwareTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void mcuFrames_data();
    void mcuFrames();
    void mcuProgress();
    void mcuInterrupted_data();
    void mcuInterrupted();
    void mcuWriteFailures_data();
    void mcuWriteFailures();
    void dspFrames_data();
    void dspFrames();
    void dspBadLines_data();
    void dspBadLines();
    void dspImageArrivesWhole();
    void dspProgressAndInterruption();
    void unreadableFiles_data();
    void unreadableFiles();

private:
    QString path(const QString& name) const { return m_files.filePath(name); }

    QTemporaryDir m_files;
    OpenedDevice m_device;
};

void OrviFirmwareTest::init()
{
    HidSim::reset();
    m_device = plugAndOpen(1);
    QVERIFY(m_device.handle != nullptr);
    m_device.emulator->clearLogs();
}

void OrviFirmwareTest::cleanup()
{
    orviClose(m_device.handle);
    m_device.handle = nullptr;
    QCOMPARE(HidSim::openHandleCount(), 0);
}

void OrviFirmwareTest::mcuFrames_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expectedOutput"); /* %1 the path, %2 the checksum */

    const QString closing = "Sent end packet.\nDone sending micro firmware.\n";
    QTest::newRow("empty") << 0 << "Sending Micro FW: %1\nEOF.\nTotal sent: 0 kb\nChecksum: 0\n" + closing;
    QTest::newRow("56") << 56 << "Sending Micro FW: %1\nEOF.\nTotal sent: 0 kb\nChecksum: %2\n" + closing;
    QTest::newRow("57") << 57 << "Sending Micro FW: %1\nEOF.\nTotal sent: 0 kb\nChecksum: %2\n" + closing;
    QTest::newRow("112") << 112 << "Sending Micro FW: %1\nEOF.\nTotal sent: 0 kb\nChecksum: %2\n" + closing;
    QTest::newRow("3000 with progress lines")
        << 3000
        << "Sending Micro FW: %1\nSent: 1 kb\nSent: 2 kb\nEOF.\nTotal sent: 2 kb\nChecksum: %2\n" + closing;
}

void OrviFirmwareTest::mcuFrames()
{
    QFETCH(int, size);
    QFETCH(QString, expectedOutput);

    const Bytes file = patternBytes(size_t(size), 3);
    const QString filePath = path("Update.bin");
    QVERIFY(writeBytes(filePath, file));

    StdoutCapture capture;
    int result = orviSendMicroFW(m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_OK));
    QCOMPARE(printed, expectedOutput.arg(filePath, QString::number(xorOf(file), 16).toUpper()));

    /* n / 56 + 1 data packets counted from 1 after the open, then the end packet. */
    const auto frames = m_device.emulator->frames();
    const size_t packets = size_t(size) / 56 + 1;
    QCOMPARE(frames.size(), packets + 1);
    for (size_t i = 0; i < packets; ++i) {
        Bytes payload(56, 0);
        for (size_t k = 0; k < 56 && i * 56 + k < file.size(); ++k)
            payload[k] = file[i * 56 + k];
        QCOMPARE(hexOf(frames[i].bytes), hexOf(request(0x0004, 56, uint16_t(i + 1), payload)));
    }
    QCOMPARE(hexOf(frames[packets].bytes), hexOf(request(0x0005, 0, uint16_t(packets), {xorOf(file)})));

    const auto transfer = m_device.emulator->lastTransfer(Component::Mcu);
    QVERIFY(transfer);
    QVERIFY(transfer->holdsExactly(file));
    QVERIFY(transfer->installed);
    QVERIFY(m_device.emulator->violations().empty());
}

void OrviFirmwareTest::mcuProgress()
{
    const QString filePath = path("fw.bin");
    QVERIFY(writeBytes(filePath, patternBytes(112)));
    ProgressLog log;
    OrviProgress progress{recordProgress, &log};
    StdoutCapture capture;
    QCOMPARE(orviSendMicroFW(m_device.handle, localPath(filePath).c_str(), &progress), int(ORVI_OK));
    capture.finish();
    QCOMPARE(log.fractions, (std::vector<float>{0.5f, 1.0f, 1.0f}));
    QCOMPARE(log.totals, (std::vector<long>{112, 112, 112}));

    /* The whole of an empty file is sent at once. */
    const QString emptyPath = path("empty.bin");
    QVERIFY(writeBytes(emptyPath, {}));
    ProgressLog emptyLog;
    OrviProgress emptyProgress{recordProgress, &emptyLog};
    StdoutCapture again;
    QCOMPARE(orviSendMicroFW(m_device.handle, localPath(emptyPath).c_str(), &emptyProgress), int(ORVI_OK));
    again.finish();
    QCOMPARE(emptyLog.fractions, std::vector<float>{1.0f});
    QCOMPARE(emptyLog.totals, std::vector<long>{0});

    /* A hook record without a function is no hook. */
    OrviProgress noCallback{nullptr, nullptr};
    StdoutCapture third;
    QCOMPARE(orviSendMicroFW(m_device.handle, localPath(filePath).c_str(), &noCallback), int(ORVI_OK));
    third.finish();
}

void OrviFirmwareTest::mcuInterrupted_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("stopAtCall");
    QTest::addColumn<QString>("expectedOutput");

    QTest::newRow("first packet") << 112 << 1
                                  << "Sending Micro FW: %1\nInterrupted!\nTotal sent: 0 kb\nChecksum: %2\n"
                                     "Done sending micro firmware.\n";
    QTest::newRow("after the progress line")
        << 2000 << 19
        << "Sending Micro FW: %1\nSent: 1 kb\nInterrupted!\nTotal sent: 1 kb\nChecksum: %2\n"
           "Done sending micro firmware.\n";
}

void OrviFirmwareTest::mcuInterrupted()
{
    QFETCH(int, size);
    QFETCH(int, stopAtCall);
    QFETCH(QString, expectedOutput);

    const Bytes file = patternBytes(size_t(size), 5);
    const QString filePath = path("fw.bin");
    QVERIFY(writeBytes(filePath, file));
    ProgressLog log;
    log.stopAtCall = stopAtCall;
    OrviProgress progress{recordProgress, &log};

    StdoutCapture capture;
    int result = orviSendMicroFW(m_device.handle, localPath(filePath).c_str(), &progress);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_ERR_INTERRUPTED));
    const Bytes sent(file.begin(), file.begin() + 56 * stopAtCall);
    QCOMPARE(printed, expectedOutput.arg(filePath, QString::number(xorOf(sent), 16).toUpper()));
    QCOMPARE(int(log.fractions.size()), stopAtCall);

    const auto frames = m_device.emulator->frames();
    QCOMPARE(int(frames.size()), stopAtCall); /* data packets only, no end packet */
    for (const auto& frame : frames)
        QCOMPARE(int(frame.command), 0x0004);
    QVERIFY(!m_device.emulator->lastTransfer(Component::Mcu)->installed);
    QCOMPARE(m_device.emulator->installCount(), 0);
}

void OrviFirmwareTest::mcuWriteFailures_data()
{
    QTest::addColumn<int>("failingReport");
    QTest::addColumn<QString>("expectedOutput");

    QTest::newRow("second data packet")
        << 2 << "Sending Micro FW: %1\nFailed to send packet.\nTotal sent: 0 kb\nChecksum: %2\n"
                "Done sending micro firmware.\n";
    QTest::newRow("end packet") << 4 << "Sending Micro FW: %1\nEOF.\nTotal sent: 0 kb\nChecksum: %2\n"
                                        "Sent end packet.\nDone sending micro firmware.\n";
}

void OrviFirmwareTest::mcuWriteFailures()
{
    QFETCH(int, failingReport);
    QFETCH(QString, expectedOutput);

    const Bytes file = patternBytes(150, 9);
    const QString filePath = path("fw.bin");
    QVERIFY(writeBytes(filePath, file));
    m_device.emulator->failWriteAtReport(m_device.emulator->reportCount() + failingReport);

    StdoutCapture capture;
    int result = orviSendMicroFW(m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_ERR_WRITE));
    /* The checksum covers every byte read, the unsent packet's too. */
    const Bytes read(file.begin(), file.begin() + std::min<size_t>(file.size(), 56 * size_t(failingReport)));
    QCOMPARE(printed, expectedOutput.arg(filePath, QString::number(xorOf(read), 16).toUpper()));
    QCOMPARE(int(m_device.emulator->frames().size()), failingReport);
    QCOMPARE(m_device.emulator->installCount(), 0);
}

void OrviFirmwareTest::dspFrames_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("checksum");

    QTest::newRow("three lines") << QByteArray("0x01\n0xFF\n0x10\n") << QByteArray("\x01\xFF\x10", 3) << 0xEE;
    QTest::newRow("crlf and mixed case") << QByteArray("0x1F\r\n0xaB\r\n") << QByteArray("\x1F\xAB", 2) << 0xB4;
    QTest::newRow("last line without line end") << QByteArray("0x7\n0x80") << QByteArray("\x07\x80", 2) << 0x87;
    QTest::newRow("nothing after the prefix is 0") << QByteArray("0x\n0x05\n") << QByteArray("\x00\x05", 2) << 0x05;
    QTest::newRow("empty file") << QByteArray() << QByteArray() << 0;
}

void OrviFirmwareTest::dspFrames()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, bytes);
    QFETCH(int, checksum);

    const QString filePath = path("firmware.ldr");
    QVERIFY(writeText(filePath, text));
    StdoutCapture capture;
    int result = orviSendDspFW(m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_OK));
    QCOMPARE(printed, QString("Sending DSP FW: %1\nEOF.\nTotal sent: 0 Kb\nChecksum: %2\nSent end packet.\n"
                              "Done sending DSP firmware.\n")
                          .arg(filePath, QString::number(checksum, 16).toUpper()));

    const auto frames = m_device.emulator->frames();
    QCOMPARE(frames.size(), size_t(2));
    const Bytes payload(bytes.begin(), bytes.end());
    QCOMPARE(hexOf(frames[0].bytes), hexOf(request(0x0002, 54, 1, payload)));
    QCOMPARE(hexOf(frames[1].bytes), hexOf(request(0x0003, 0, 1, {uint8_t(checksum)})));
    const auto transfer = m_device.emulator->lastTransfer(Component::Dsp);
    QVERIFY(transfer->installed);
    QVERIFY(transfer->holdsExactly(payload));
}

void OrviFirmwareTest::dspBadLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("gathered");

    QTest::newRow("0x100") << QByteArray("0x01\n0x100\n") << 1;
    QTest::newRow("no prefix") << QByteArray("1F\n") << 0;
    QTest::newRow("empty line") << QByteArray("0x01\n\n0x02\n") << 1;
    QTest::newRow("line too long") << QByteArray("0x0000011\n") << 1;
    QTest::newRow("after a full packet") << QByteArray("0x01\n").repeated(60) + "0x1FF\n" << 60;
}

void OrviFirmwareTest::dspBadLines()
{
    QFETCH(QByteArray, text);
    QFETCH(int, gathered);

    const QString filePath = path("bad.ldr");
    QVERIFY(writeText(filePath, text));
    StdoutCapture capture;
    int result = orviSendDspFW(m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_ERR_BAD_FILE));
    const int checksum = gathered % 2; /* every gathered byte is 0x01 */
    QCOMPARE(printed, QString("Sending DSP FW: %1\nTotal sent: 0 Kb\nChecksum: %2\nDone sending DSP firmware.\n")
                          .arg(filePath)
                          .arg(checksum));
    const auto frames = m_device.emulator->frames();
    QCOMPARE(int(frames.size()), gathered / 54);
    QCOMPARE(m_device.emulator->installCount(), 0);

    /* The handle is still usable and the counter continues. */
    QVERIFY(writeText(filePath, "0x42\n"));
    StdoutCapture again;
    QCOMPARE(orviSendDspFW(m_device.handle, localPath(filePath).c_str(), nullptr), int(ORVI_OK));
    again.finish();
    QCOMPARE(m_device.emulator->frames().back().sequence, uint16_t(1 + gathered / 54));
}

void OrviFirmwareTest::dspImageArrivesWhole()
{
    const QString filePath = path("dsp.ldr");
    QVERIFY(OrviSim::writeImageFile(localPath(filePath), Component::Dsp, 0x0215, 5000));
    const Bytes image = OrviSim::buildImage(Component::Dsp, 0x0215, 5000);
    StdoutCapture capture;
    QCOMPARE(orviSendDspFW(m_device.handle, localPath(filePath).c_str(), nullptr), int(ORVI_OK));
    QString printed = capture.finish();
    QVERIFY(printed.contains("Sent: 1 Kb\nSent: 2 Kb\nSent: 3 Kb\nSent: 4 Kb\nEOF.\nTotal sent: 4 Kb\n"));

    const auto transfer = m_device.emulator->lastTransfer(Component::Dsp);
    QCOMPARE(transfer->dataPackets, 5000 / 54 + 1);
    QVERIFY(transfer->holdsExactly(image));
    QVERIFY(transfer->checksumOk);
    QVERIFY(transfer->installed);
    QCOMPARE(transfer->tag->version, 0x0215u);
    QVERIFY(*m_device.emulator->installedImage(Component::Dsp) == image);
    QVERIFY(m_device.emulator->violations().empty());
}

void OrviFirmwareTest::dspProgressAndInterruption()
{
    /* fraction: file position over file size; total: the number of lines. */
    const QString filePath = path("dsp.ldr");
    QVERIFY(writeText(filePath, QByteArray("0x01\r\n").repeated(100)));
    ProgressLog log;
    OrviProgress progress{recordProgress, &log};
    StdoutCapture capture;
    QCOMPARE(orviSendDspFW(m_device.handle, localPath(filePath).c_str(), &progress), int(ORVI_OK));
    capture.finish();
    QCOMPARE(log.fractions, (std::vector<float>{float(54.0 * 6 / 600), 1.0f}));
    QCOMPARE(log.totals, (std::vector<long>{100, 100}));

    ProgressLog stopping;
    stopping.stopAtCall = 1;
    OrviProgress stopProgress{recordProgress, &stopping};
    m_device.emulator->clearLogs();
    StdoutCapture again;
    QCOMPARE(orviSendDspFW(m_device.handle, localPath(filePath).c_str(), &stopProgress), int(ORVI_ERR_INTERRUPTED));
    QString printed = again.finish();
    QCOMPARE(printed, QString("Sending DSP FW: %1\nInterrupted!\nTotal sent: 0 Kb\nChecksum: 0\n"
                              "Done sending DSP firmware.\n")
                          .arg(filePath));
    QCOMPARE(m_device.emulator->frames().size(), size_t(1));
}

void OrviFirmwareTest::unreadableFiles_data()
{
    QTest::addColumn<int>("component");
    QTest::addColumn<QString>("opening");
    QTest::addColumn<bool>("directory");

    QTest::newRow("mcu missing") << int(Component::Mcu) << "Sending Micro FW: %1\n" << false;
    QTest::newRow("dsp missing") << int(Component::Dsp) << "Sending DSP FW: %1\n" << false;
    QTest::newRow("styles missing") << int(Component::Styles) << "Sending styles: %1\n" << false;
    QTest::newRow("ensemble missing") << int(Component::Ensemble) << "Sending ensemble audio: %1\n" << false;
    QTest::newRow("mcu directory") << int(Component::Mcu) << "Sending Micro FW: %1\n" << true;
    QTest::newRow("dsp directory") << int(Component::Dsp) << "Sending DSP FW: %1\n" << true;
    QTest::newRow("styles directory") << int(Component::Styles) << "Sending styles: %1\n" << true;
    QTest::newRow("ensemble directory") << int(Component::Ensemble) << "Sending ensemble audio: %1\n" << true;
}

void OrviFirmwareTest::unreadableFiles()
{
    QFETCH(int, component);
    QFETCH(QString, opening);
    QFETCH(bool, directory);

    using Send = int (*)(OrviDevice*, const char*, const OrviProgress*);
    const Send send[] = {orviSendMicroFW, orviSendDspFW, orviSendStyles, orviSendEnsemble};
    const QString filePath = directory ? m_files.path() : path("does-not-exist.bin");

    StdoutCapture capture;
    int result = send[component](m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_ERR_FILE_OPEN));
    QCOMPARE(printed, opening.arg(filePath) + "Failed to open file.\n");
    QCOMPARE(m_device.emulator->installCount(), 0);
    for (const auto& frame : m_device.emulator->frames())
        QVERIFY(frame.command != 0x0005 && frame.command != 0x0003 && frame.command != 0x0015);

    const QString good = path("good.bin");
    QVERIFY(writeBytes(good, patternBytes(10)));
    StdoutCapture again;
    QCOMPARE(orviSendMicroFW(m_device.handle, localPath(good).c_str(), nullptr), int(ORVI_OK));
    again.finish();
}

QTEST_GUILESS_MAIN(OrviFirmwareTest)
#include "orvi_firmware_test.moc"
