/* Styles and ensemble transfers: sectors, terminating packet, limits, progress, failures. */
#include "protocol_test_support.h"

#include <QtTest>

using OrviSim::Component;
using OrviSim::HeaderWords;

namespace {

constexpr size_t kSector = 65536;
constexpr size_t kPacketsPerSector = 1171;

struct ProgressLog {
    std::vector<float> fractions;
    std::vector<long> totals;
    int stopAtCall = 0;
};

int recordProgress(float fraction, long total, void* userData)
{
    auto* log = static_cast<ProgressLog*>(userData);
    log->fractions.push_back(fraction);
    log->totals.push_back(total);
    return int(log->fractions.size()) == log->stopAtCall ? 1 : 0;
}

/* The printed file checksums: XOR of little-endian words of 2 or 4 bytes, per sector. */
QString wordsChecksum(const Bytes& file, size_t wordSize)
{
    uint32_t checksum = 0;
    for (size_t sectorStart = 0; sectorStart < file.size(); sectorStart += kSector) {
        size_t sectorEnd = std::min(file.size(), sectorStart + kSector);
        for (size_t i = sectorStart; i < sectorEnd; i += wordSize) {
            uint32_t word = 0;
            for (size_t k = 0; k < wordSize && i + k < sectorEnd; ++k)
                word |= uint32_t(file[i + k]) << (8 * k);
            checksum ^= word;
        }
    }
    return QString::number(checksum, 16).toUpper().rightJustified(int(wordSize * 2), '0');
}

uint16_t commandOf(Component component)
{
    return component == Component::Styles ? 0x0014 : 0x0007;
}

using Send = int (*)(OrviDevice*, const char*, const OrviProgress*);

Send sendFunction(Component component)
{
    return component == Component::Styles ? orviSendStyles : orviSendEnsemble;
}

} // namespace

class OrviContentTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sectorsAndOutput_data();
    void sectorsAndOutput();
    void terminatingPacket_data();
    void terminatingPacket();
    void sizeLimits_data();
    void sizeLimits();
    void stylesNotOnOrvi();
    void interruptedAtReport_data();
    void interruptedAtReport();
    void terminatingPacketWriteFails();
    void progressFractions();
    void sectorWaitIsKept();

private:
    QString path(const QString& name) const { return m_files.filePath(name); }
    void open(int model, const HeaderWords& words = HeaderWords());

    QTemporaryDir m_files;
    OpenedDevice m_device;
};

void OrviContentTest::init()
{
    HidSim::reset();
    orviSetSectorWaitForTesting(0);
}

void OrviContentTest::cleanup()
{
    orviClose(m_device.handle);
    m_device.handle = nullptr;
    QCOMPARE(HidSim::openHandleCount(), 0);
}

void OrviContentTest::open(int model, const HeaderWords& words)
{
    orviClose(m_device.handle);
    HidSim::reset();
    m_device = plugAndOpen(model, words);
    QVERIFY(m_device.handle != nullptr);
    m_device.emulator->clearLogs();
}

void OrviContentTest::sectorsAndOutput_data()
{
    QTest::addColumn<int>("component");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expectedOutput"); /* %1 path, %2 checksum; empty: not compared */

    const QString progress = "Progress: ..........\nSector sent. Waiting to be written...\n";
    const QString styles = "Sending styles: %1\n";
    const QString ensemble = "Sending ensemble audio: %1\n";
    const QString terminating = "Sending terminating packet...\n";

    QTest::newRow("styles empty") << int(Component::Styles) << 0
                                  << styles + "Read sector: 0 bytes\nEOF\n" + terminating
            + "Total Kb written: 0\nChecksum = 0000\n";
    QTest::newRow("ensemble empty") << int(Component::Ensemble) << 0
                                    << ensemble + "Read sector: 0 bytes\nEOF\n" + terminating
            + "Total Kb written: 0\nChecksum = 00000000\n";
    QTest::newRow("styles 3 bytes") << int(Component::Styles) << 3
                                    << styles + "Read sector: 3 bytes\nEOF\nSending sector 1/1...\n" + progress
            + "Sector 1/1 written.\n" + terminating + "Total Kb written: 0\nChecksum = %2\n";
    QTest::newRow("ensemble 3 bytes") << int(Component::Ensemble) << 3
                                      << ensemble + "Read sector: 3 bytes\nEOF\nSending sector 1/1...\n" + progress
            + "Sector 1/1 written.\n" + terminating + "Total Kb written: 0\nChecksum = %2\n";
    QTest::newRow("styles 65536") << int(Component::Styles) << 65536
                                  << styles + "Read sector: 65536 bytes\nSending sector 1/1...\n" + progress
            + "Sector 1/1 written.\nRead sector: 0 bytes\nEOF\n" + terminating
            + "Total Kb written: 64\nChecksum = %2\n";
    QTest::newRow("ensemble 65537") << int(Component::Ensemble) << 65537
                                    << ensemble + "Read sector: 65536 bytes\nSending sector 1/2...\n" + progress
            + "Sector 1/2 written.\nRead sector: 1 bytes\nEOF\nSending sector 2/2...\n" + progress
            + "Sector 2/2 written.\n" + terminating + "Total Kb written: 64\nChecksum = %2\n";
    QTest::newRow("styles 100000") << int(Component::Styles) << 100000
                                   << styles + "Read sector: 65536 bytes\nSending sector 1/2...\n" + progress
            + "Sector 1/2 written.\nRead sector: 34464 bytes\nEOF\nSending sector 2/2...\n" + progress
            + "Sector 2/2 written.\n" + terminating + "Total Kb written: 97\nChecksum = %2\n";
    QTest::newRow("ensemble 100000") << int(Component::Ensemble) << 100000 << QString();
    QTest::newRow("styles 65537") << int(Component::Styles) << 65537 << QString();
    QTest::newRow("ensemble 65536") << int(Component::Ensemble) << 65536 << QString();
}

void OrviContentTest::sectorsAndOutput()
{
    QFETCH(int, component);
    QFETCH(int, size);
    QFETCH(QString, expectedOutput);

    open(1);
    const Component type = Component(component);
    Bytes file = patternBytes(size_t(size), 11);
    if (size == 3)
        file = {0x01, 0x02, 0x03};
    const QString filePath = path("content.bin");
    QVERIFY(writeBytes(filePath, file));

    StdoutCapture capture;
    int result = sendFunction(type)(m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_OK));
    if (!expectedOutput.isEmpty()) {
        const QString checksum = wordsChecksum(file, type == Component::Styles ? 2 : 4);
        QCOMPARE(printed, expectedOutput.arg(filePath, checksum));
    }
    if (size == 3)
        QVERIFY(printed.endsWith(type == Component::Styles ? "Checksum = 0202\n" : "Checksum = 00030201\n"));

    /* Every sector is 1170 packets of 56 and one of 16, zero-filled past the data. */
    const auto frames = m_device.emulator->frames();
    const size_t sectors = (file.size() + kSector - 1) / kSector;
    QCOMPARE(frames.size(), sectors * kPacketsPerSector + 1);
    size_t offset = 0;
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        const uint16_t chunk = i % kPacketsPerSector == kPacketsPerSector - 1 ? 16 : 56;
        const size_t sectorEnd = std::min(file.size(), (i / kPacketsPerSector + 1) * kSector);
        Bytes payload;
        for (size_t k = 0; k < chunk && offset + k < sectorEnd; ++k)
            payload.push_back(file[offset + k]);
        offset = std::min(offset + chunk, sectorEnd);
        if (hexOf(frames[i].bytes) != hexOf(request(commandOf(type), chunk, uint16_t(i + 1), payload)))
            QFAIL(qPrintable(QString("packet %1: %2").arg(i).arg(QString(hexOf(frames[i].bytes)))));
        if (i % kPacketsPerSector == kPacketsPerSector - 1)
            offset = (i / kPacketsPerSector + 1) * kSector;
    }
    QCOMPARE(hexOf(frames.back().bytes), hexOf(request(0x0015, 0, 0)));

    const auto transfer = m_device.emulator->lastTransfer(type);
    if (size > 0) {
        QVERIFY(transfer);
        QVERIFY(transfer->holdsExactly(file));
        QVERIFY(transfer->terminated);
        QVERIFY(transfer->installed);
        QVERIFY(*m_device.emulator->installedImage(type) == transfer->received);
    }
    QVERIFY(m_device.emulator->violations().empty());
}

void OrviContentTest::terminatingPacket_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("component");
    QTest::addColumn<int>("mcuWord");
    QTest::addColumn<int>("dspWord");
    QTest::addColumn<bool>("terminated");

    QTest::newRow("orvi+ styles, dsp 0x0112") << 1 << int(Component::Styles) << 0x0312 << 0x0112 << true;
    QTest::newRow("orvi+ styles, dsp 0x0100") << 1 << int(Component::Styles) << 0x0312 << 0x0100 << true;
    QTest::newRow("orvi+ styles, dsp 0x00FF") << 1 << int(Component::Styles) << 0x0312 << 0x00FF << false;
    QTest::newRow("orvi+ ensemble, dsp 0x0112") << 1 << int(Component::Ensemble) << 0x0312 << 0x0112 << true;
    QTest::newRow("orvi+ ensemble, packed dsp 0x0064") << 1 << int(Component::Ensemble) << 0x0064 << 0x0064 << false;
    QTest::newRow("orvi+ ensemble, packed dsp 0x0113") << 1 << int(Component::Ensemble) << 0x0050 << 0x0113 << true;
    QTest::newRow("orvi ensemble, never") << 0 << int(Component::Ensemble) << 0x0312 << 0x0312 << false;
}

void OrviContentTest::terminatingPacket()
{
    QFETCH(int, model);
    QFETCH(int, component);
    QFETCH(int, mcuWord);
    QFETCH(int, dspWord);
    QFETCH(bool, terminated);

    HeaderWords words;
    words.mcuWord = uint16_t(mcuWord);
    words.dspWord = uint16_t(dspWord);
    open(model, words);
    const Component type = Component(component);
    /* A tagged image tells a device without terminating packets where the content ends. */
    const Bytes image = OrviSim::buildImage(type, 42, 70000);
    const QString filePath = path("content.bin");
    QVERIFY(writeBytes(filePath, image));

    StdoutCapture capture;
    QCOMPARE(sendFunction(type)(m_device.handle, localPath(filePath).c_str(), nullptr), int(ORVI_OK));
    QString printed = capture.finish();
    QCOMPARE(printed.contains("Sending terminating packet...\n"), terminated);
    const auto frames = m_device.emulator->frames();
    QCOMPARE(frames.size(), 2 * kPacketsPerSector + (terminated ? 1 : 0));
    QCOMPARE(frames.back().command, uint16_t(terminated ? 0x0015 : commandOf(type)));

    const auto transfer = m_device.emulator->lastTransfer(type);
    QCOMPARE(transfer->terminated, terminated);
    QVERIFY(transfer->installed);
    QVERIFY(transfer->holdsExactly(image));
    QVERIFY(*m_device.emulator->installedImage(type) == image);
    QVERIFY(m_device.emulator->violations().empty());
}

void OrviContentTest::sizeLimits_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("component");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expected");

    const int sector = int(kSector);
    QTest::newRow("styles 32 sectors") << 1 << int(Component::Styles) << 32 * sector << int(ORVI_OK);
    QTest::newRow("styles 32 sectors + 1 byte") << 1 << int(Component::Styles) << 32 * sector + 1 << int(ORVI_ERR_TOO_BIG);
    QTest::newRow("orvi ensemble 80 sectors") << 0 << int(Component::Ensemble) << 80 * sector << int(ORVI_OK);
    QTest::newRow("orvi ensemble 81 sectors") << 0 << int(Component::Ensemble) << 80 * sector + 1 << int(ORVI_ERR_TOO_BIG);
    QTest::newRow("orvi+ ensemble 81 sectors") << 1 << int(Component::Ensemble) << 81 * sector << int(ORVI_OK);
    QTest::newRow("orvi+ ensemble 208 sectors") << 1 << int(Component::Ensemble) << 208 * sector << int(ORVI_OK);
    QTest::newRow("orvi+ ensemble 209 sectors") << 1 << int(Component::Ensemble) << 208 * sector + 1 << int(ORVI_ERR_TOO_BIG);
}

void OrviContentTest::sizeLimits()
{
    QFETCH(int, model);
    QFETCH(int, component);
    QFETCH(int, size);
    QFETCH(int, expected);

    open(model);
    m_device.emulator->setFrameLogEnabled(false);
    const Component type = Component(component);
    const Bytes file = patternBytes(size_t(size), 2);
    const QString filePath = path("big.bin");
    QVERIFY(writeBytes(filePath, file));

    StdoutCapture capture;
    int result = sendFunction(type)(m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, expected);
    if (expected == ORVI_ERR_TOO_BIG) {
        const QString refusal = type == Component::Styles
            ? "Sending styles: %1\nStyle data too big for flash.\n"
            : "Sending ensemble audio: %1\nEnsemble audio data too big for this device.\n";
        QCOMPARE(printed, refusal.arg(filePath));
        QCOMPARE(m_device.emulator->reportCount(), 1); /* the open request only */
        return;
    }
    const auto transfer = m_device.emulator->lastTransfer(type);
    QCOMPARE(transfer->sectorsComplete, size / int(kSector));
    QVERIFY(transfer->fitsFlash);
    QVERIFY(transfer->holdsExactly(file));
    QVERIFY(m_device.emulator->violations().empty());
}

void OrviContentTest::stylesNotOnOrvi()
{
    open(0);
    const QString missing = path("not-there.bin");
    StdoutCapture capture;
    int result = orviSendStyles(m_device.handle, localPath(missing).c_str(), nullptr);
    QString printed = capture.finish();
    /* Refused before the file is even opened. */
    QCOMPARE(result, int(ORVI_ERR_NOT_SUPPORTED));
    QCOMPARE(printed, QString("Sending styles: %1\nNot supported.\n").arg(missing));
    QCOMPARE(m_device.emulator->reportCount(), 1);
}

void OrviContentTest::interruptedAtReport_data()
{
    QTest::addColumn<int>("component");
    QTest::addColumn<int>("stopAtCall");
    QTest::addColumn<int>("failAtReport");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("tail"); /* what is printed after the first "Sending sector" line */

    const QString firstSector = "Progress: ..........\nSector sent. Waiting to be written...\nSector 1/2 written.\n"
                                "Read sector: 34464 bytes\nEOF\nSending sector 2/2...\n";
    QTest::newRow("hook stops at the third packet")
        << int(Component::Styles) << 3 << 0 << int(ORVI_ERR_INTERRUPTED) << "Progress: .Interrupted!\n";
    QTest::newRow("hook stops in the second sector")
        << int(Component::Ensemble) << 1171 + 5 << 0 << int(ORVI_ERR_INTERRUPTED)
        << firstSector + "Progress: .Interrupted!\n";
    QTest::newRow("write fails at the third packet")
        << int(Component::Ensemble) << 0 << 3 << int(ORVI_ERR_WRITE) << "Progress: .Error writing packet.\n";
    QTest::newRow("write fails late in a sector")
        << int(Component::Styles) << 0 << 1171 + 700 << int(ORVI_ERR_WRITE)
        << firstSector + "Progress: ......Error writing packet.\n";
}

void OrviContentTest::interruptedAtReport()
{
    QFETCH(int, component);
    QFETCH(int, stopAtCall);
    QFETCH(int, failAtReport);
    QFETCH(int, result);
    QFETCH(QString, tail);

    open(1);
    orviSetSectorWaitForTesting(1000000000L);
    const Component type = Component(component);
    const QString filePath = path("content.bin");
    QVERIFY(writeBytes(filePath, patternBytes(100000)));
    if (failAtReport > 0)
        m_device.emulator->failWriteAtReport(m_device.emulator->reportCount() + failAtReport);
    ProgressLog log;
    log.stopAtCall = stopAtCall;
    OrviProgress progress{recordProgress, &log};

    QElapsedTimer clock;
    clock.start();
    StdoutCapture capture;
    int answer = sendFunction(type)(m_device.handle, localPath(filePath).c_str(), &progress);
    QString printed = capture.finish();
    const qint64 elapsed = clock.elapsed();
    orviSetSectorWaitForTesting(0);

    QCOMPARE(answer, result);
    const QString opening = QString(type == Component::Styles ? "Sending styles: %1\n" : "Sending ensemble audio: %1\n")
                                .arg(filePath)
        + "Read sector: 65536 bytes\nSending sector 1/2...\n";
    QCOMPARE(printed, opening + tail);

    /* Exactly the packets up to the stop; no terminating packet and no wait after a broken sector. */
    const int reports = stopAtCall > 0 ? stopAtCall : failAtReport;
    const auto frames = m_device.emulator->frames();
    QCOMPARE(int(frames.size()), reports);
    QCOMPARE(frames.back().accepted, failAtReport == 0);
    QCOMPARE(frames.back().command, commandOf(type));
    const int fullSectorsWaited = reports > int(kPacketsPerSector) ? 1 : 0;
    QVERIFY2(elapsed < 1000 * fullSectorsWaited + 800, qPrintable(QString::number(elapsed)));
    QCOMPARE(m_device.emulator->installCount(), 0);
    QVERIFY(!m_device.emulator->lastTransfer(type)->installed);
}

void OrviContentTest::terminatingPacketWriteFails()
{
    open(1);
    const Bytes file = patternBytes(1000);
    const QString filePath = path("content.bin");
    QVERIFY(writeBytes(filePath, file));
    m_device.emulator->failWriteAtReport(m_device.emulator->reportCount() + int(kPacketsPerSector) + 1);

    StdoutCapture capture;
    int result = orviSendStyles(m_device.handle, localPath(filePath).c_str(), nullptr);
    QString printed = capture.finish();
    QCOMPARE(result, int(ORVI_ERR_WRITE));
    QVERIFY(printed.endsWith("Sector 1/1 written.\nSending terminating packet...\n"));
    QVERIFY(!m_device.emulator->lastTransfer(Component::Styles)->installed);
}

void OrviContentTest::progressFractions()
{
    open(1);
    const QString filePath = path("content.bin");
    QVERIFY(writeBytes(filePath, patternBytes(100000)));
    ProgressLog log;
    OrviProgress progress{recordProgress, &log};
    StdoutCapture capture;
    QCOMPARE(orviSendEnsemble(m_device.handle, localPath(filePath).c_str(), &progress), int(ORVI_OK));
    capture.finish();

    /* One call per packet, padding packets included; those repeat the last data fraction. */
    QCOMPARE(log.fractions.size(), 2 * kPacketsPerSector);
    QCOMPARE(log.fractions.front(), float(56.0 / 100000));
    QCOMPARE(log.fractions[kPacketsPerSector - 2], float(65520.0 / 100000));
    QCOMPARE(log.fractions[kPacketsPerSector - 1], float(65536.0 / 100000));
    const size_t lastDataPacket = kPacketsPerSector + (100000 - kSector + 55) / 56 - 1;
    QVERIFY(log.fractions[lastDataPacket - 1] < 1.0f);
    for (size_t i = lastDataPacket; i < log.fractions.size(); ++i)
        QCOMPARE(log.fractions[i], 1.0f);
    for (size_t i = 1; i < log.fractions.size(); ++i)
        QVERIFY(log.fractions[i] >= log.fractions[i - 1]);
    for (long total : log.totals)
        QCOMPARE(total, 100000L);
}

void OrviContentTest::sectorWaitIsKept()
{
    open(1);
    orviSetSectorWaitForTesting(60 * 1000000L);
    const QString filePath = path("content.bin");
    QVERIFY(writeBytes(filePath, patternBytes(3 * kSector)));
    QElapsedTimer clock;
    clock.start();
    StdoutCapture capture;
    QCOMPARE(orviSendStyles(m_device.handle, localPath(filePath).c_str(), nullptr), int(ORVI_OK));
    QString printed = capture.finish();
    const qint64 elapsed = clock.elapsed();
    orviSetSectorWaitForTesting(0);
    QCOMPARE(printed.count("Sector sent. Waiting to be written...\n"), 3);
    QVERIFY2(elapsed >= 180, qPrintable(QString::number(elapsed)));
}

QTEST_GUILESS_MAIN(OrviContentTest)
#include "orvi_content_test.moc"
