/* Opening a device, decoding its header, the ready query and the sequence counter. */
#include "protocol_test_support.h"

#include <QtTest>

using OrviSim::HeaderWords;
using OrviSim::ReplyFault;
using OrviSim::ReplyFaultSetting;

class OrviLinkTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void decodesHeader_data();
    void decodesHeader();
    void openRequestFrame();
    void openFailures_data();
    void openFailures();
    void openWithoutErrorPointer();
    void openTimeoutWaitsForTheReply();
    void readyQuery_data();
    void readyQuery();
    void readyQueryFailures_data();
    void readyQueryFailures();
    void sequenceWrapsAfter65536Requests();
    void failedWriteDoesNotAdvanceSequence();

private:
    QTemporaryDir m_files;
};

void OrviLinkTest::init()
{
    HidSim::reset();
    orviSetSectorWaitForTesting(0);
}

void OrviLinkTest::cleanup()
{
    QCOMPARE(HidSim::openHandleCount(), 0);
}

void OrviLinkTest::decodesHeader_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("mcuWord");
    QTest::addColumn<int>("dspBytes");
    QTest::addColumn<int>("mcuVersion");
    QTest::addColumn<int>("dspVersion");

    QTest::newRow("orvi ORs production into both words") << 0 << 0x0012 << 0x0120 << 0x0312 << 0x0320;
    QTest::newRow("orvi keeps a production word") << 0 << 0x0345 << 0x0301 << 0x0345 << 0x0301;
    QTest::newRow("orvi+ old mcu packs dsp into byte 18") << 1 << 0x0064 << 0x009B << 0x0064 << 0x0313;
    QTest::newRow("orvi+ packed byte ignores byte 19") << 1 << 0x0064 << 0xFF9B << 0x0064 << 0x0313;
    QTest::newRow("orvi+ packed alpha") << 1 << 0x0010 << 0x1234 << 0x0010 << 0x0034;
    QTest::newRow("orvi+ packed beta, bit 3 only") << 1 << 0x0000 << 0x0008 << 0x0000 << 0x0100;
    QTest::newRow("orvi+ packed pre-production, bit 7 only") << 1 << 0x0001 << 0x0080 << 0x0001 << 0x0200;
    QTest::newRow("orvi+ mcu 0x0065 takes the word as sent") << 1 << 0x0065 << 0x0120 << 0x0065 << 0x0120;
    QTest::newRow("orvi+ mcu 0x0100 takes the word as sent") << 1 << 0x0100 << 0x9B9B << 0x0100 << 0x9B9B;
}

void OrviLinkTest::decodesHeader()
{
    QFETCH(int, model);
    QFETCH(int, mcuWord);
    QFETCH(int, dspBytes);
    QFETCH(int, mcuVersion);
    QFETCH(int, dspVersion);

    HeaderWords words;
    words.mcuWord = uint16_t(mcuWord);
    words.rawDspBytes = uint16_t(dspBytes);
    words.ensembleVersion = 0x04030201; /* reply bytes 10-14: 01 02 03 <filler> 04 */
    words.stylesVersion = 0xBEEF;
    words.auxWord = 0x1234;
    OpenedDevice opened = plugAndOpen(model, words);
    QVERIFY(opened.handle != nullptr);

    OrviHeader header;
    std::memset(&header, 0xEE, sizeof header);
    orviGetHeader(opened.handle, &header);
    QCOMPARE(int(header.mcuVersion), mcuVersion);
    QCOMPARE(int(header.dspVersion), dspVersion);
    QCOMPARE(header.ensembleVersion, uint32_t(0x04030201));
    QCOMPARE(int(header.stylesVersion), 0xBEEF);
    QCOMPARE(int(header.auxWord), 0x1234);
    orviClose(opened.handle);
}

void OrviLinkTest::openRequestFrame()
{
    StdoutCapture capture;
    OpenedDevice opened = plugAndOpen(1);
    QString printed = capture.finish();
    QVERIFY(opened.handle != nullptr);
    QCOMPARE(printed, QString());
    const auto frames = opened.emulator->frames();
    QCOMPARE(frames.size(), size_t(1));
    QCOMPARE(hexOf(frames[0].bytes), hexOf(request(0x000A, 0, 0)));
    QCOMPARE(frames[0].length, size_t(65));
    QCOMPARE(opened.handle->nextSequence, 1u);
    QCOMPARE(opened.handle->lastSequence, 0u);
    QCOMPARE(HidSim::openHandleCount(), 1);
    orviClose(opened.handle);
    orviClose(nullptr);
    QVERIFY(opened.emulator->violations().empty());
}

void OrviLinkTest::openFailures_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("refuseOpen");
    QTest::addColumn<int>("failWriteAt");
    QTest::addColumn<unsigned>("expectedError");
    QTest::addColumn<QString>("expectedOutput");

    QTest::newRow("refused open") << int(ReplyFault::None) << true << 0 << 2u << QString();
    QTest::newRow("write fails") << int(ReplyFault::None) << false << 1 << 5u << QString();
    QTest::newRow("broken read") << int(ReplyFault::ReadError) << false << 0 << 4u << QString();
    QTest::newRow("no reply") << int(ReplyFault::NoReply) << false << 0 << 12u << QString();
    QTest::newRow("bad marker") << int(ReplyFault::BadMarker) << false << 0 << 7u << QString();
    QTest::newRow("bad code") << int(ReplyFault::BadReplyCode) << false << 0 << 8u << QString();
    QTest::newRow("count 258") << int(ReplyFault::BadCount) << false << 0 << 9u << QString("bytes: 258\n");
}

void OrviLinkTest::openFailures()
{
    QFETCH(int, fault);
    QFETCH(bool, refuseOpen);
    QFETCH(int, failWriteAt);
    QFETCH(unsigned, expectedError);
    QFETCH(QString, expectedOutput);

    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    emulator->setHeaderReplyFault({ReplyFault(fault), 1, 258});
    emulator->setOpenRefused(refuseOpen);
    if (failWriteAt > 0)
        emulator->failWriteAtReport(failWriteAt);

    unsigned int error = 0;
    StdoutCapture capture;
    OrviDevice* handle = orviOpen("dev-1", 1, 50, &error);
    QString printed = capture.finish();
    QVERIFY(handle == nullptr);
    QCOMPARE(error, expectedError);
    QCOMPARE(printed, expectedOutput);
    QCOMPARE(HidSim::openHandleCount(), 0);

    /* The fault was a single one: the device opens on the next try. */
    emulator->setOpenRefused(false);
    handle = orviOpen("dev-1", 1, 500, &error);
    QVERIFY(handle != nullptr);
    orviClose(handle);

    unsigned int untouched = 77;
    QVERIFY(orviOpen("no-such-path", 1, 50, &untouched) == nullptr);
    QCOMPARE(untouched, 2u);
}

void OrviLinkTest::openWithoutErrorPointer()
{
    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    emulator->setHeaderReplyFault({ReplyFault::BadMarker, -1, 0});
    QVERIFY(orviOpen("dev-1", 1, 50, nullptr) == nullptr);
    QVERIFY(orviOpen("missing", 0, 50, nullptr) == nullptr);
    QVERIFY(orviOpen(nullptr, 0, 50, nullptr) == nullptr);

    unsigned int error = 99;
    emulator->setHeaderReplyFault({ReplyFault::None, -1, 0});
    OrviDevice* handle = orviOpen("dev-1", 1, 500, &error);
    QVERIFY(handle != nullptr);
    QCOMPARE(error, 99u); /* success leaves the error untouched */
    orviClose(handle);
}

void OrviLinkTest::openTimeoutWaitsForTheReply()
{
    /* A slow reply inside the time-out is taken; one outside it is a time-out. */
    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "dev-1");
    emulator->setReplyDelayMs(80);
    unsigned int error = 0;
    OrviDevice* handle = orviOpen("dev-1", 1, 2000, &error);
    QVERIFY(handle != nullptr);
    orviClose(handle);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(orviOpen("dev-1", 1, 30, &error) == nullptr);
    QCOMPARE(error, unsigned(ORVI_ERR_TIMEOUT));
    QVERIFY(clock.elapsed() >= 25);

    /* The late reply of the abandoned handle does not reach the next one. */
    emulator->setHeaderReplyFault({ReplyFault::BadMarker, 1, 0});
    QTest::qWait(100);
    QVERIFY(orviOpen("dev-1", 1, 2000, &error) == nullptr);
    QCOMPARE(error, unsigned(ORVI_ERR_BAD_MARKER));
}

void OrviLinkTest::readyQuery_data()
{
    QTest::addColumn<int>("readiness");
    QTest::addColumn<int>("notReadyQueries");
    QTest::addColumn<int>("readyFlag");
    QTest::addColumn<QList<unsigned>>("answers");

    QTest::newRow("ready at once") << int(OrviSim::Readiness::Immediate) << 0 << 1 << QList<unsigned>{1, 1};
    QTest::newRow("flag value passed on") << int(OrviSim::Readiness::Immediate) << 0 << 255 << QList<unsigned>{255};
    QTest::newRow("after two queries") << int(OrviSim::Readiness::AfterQueries) << 2 << 7
                                       << QList<unsigned>{0, 0, 7, 7};
    QTest::newRow("never") << int(OrviSim::Readiness::Never) << 0 << 1 << QList<unsigned>{0, 0, 0};
}

void OrviLinkTest::readyQuery()
{
    QFETCH(int, readiness);
    QFETCH(int, notReadyQueries);
    QFETCH(int, readyFlag);
    QFETCH(QList<unsigned>, answers);

    OpenedDevice opened = plugAndOpen(1);
    QVERIFY(opened.handle != nullptr);
    opened.emulator->setReadiness(OrviSim::Readiness(readiness), notReadyQueries);
    opened.emulator->setReadyFlag(uint8_t(readyFlag));
    for (unsigned expected : answers) {
        unsigned int ready = 12345;
        StdoutCapture capture;
        int result = orviCheckReadyForUpdate(opened.handle, 200, &ready);
        QString printed = capture.finish();
        QCOMPARE(result, int(ORVI_OK));
        QCOMPARE(ready, expected);
        QCOMPARE(printed, QString());
    }
    const auto frames = opened.emulator->frames();
    QCOMPARE(frames.size(), size_t(1 + answers.size()));
    for (size_t i = 1; i < frames.size(); ++i)
        QCOMPARE(hexOf(frames[i].bytes), hexOf(request(0x0012, 3, 0, {0x0B, 0x00, 0x00})));
    /* Ready queries are not counted. */
    QCOMPARE(opened.handle->nextSequence, 1u);
    QVERIFY(opened.emulator->violations().empty());
    orviClose(opened.handle);
}

void OrviLinkTest::readyQueryFailures_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("failWrite");
    QTest::addColumn<int>("expected");

    QTest::newRow("wrong echo") << int(ReplyFault::BadReadyEcho) << false << int(ORVI_ERR_BAD_READY_REPLY);
    QTest::newRow("wrong code") << int(ReplyFault::BadReadyCode) << false << int(ORVI_ERR_BAD_READY_REPLY);
    QTest::newRow("no reply") << int(ReplyFault::NoReply) << false << int(ORVI_ERR_TIMEOUT);
    QTest::newRow("broken read") << int(ReplyFault::ReadError) << false << int(ORVI_ERR_READ);
    QTest::newRow("write fails") << int(ReplyFault::None) << true << int(ORVI_ERR_WRITE);
}

void OrviLinkTest::readyQueryFailures()
{
    QFETCH(int, fault);
    QFETCH(bool, failWrite);
    QFETCH(int, expected);

    OpenedDevice opened = plugAndOpen(1);
    QVERIFY(opened.handle != nullptr);
    opened.emulator->setReadyReplyFault({ReplyFault(fault), 1, 0});
    if (failWrite)
        opened.emulator->failWriteAtReport(2);
    unsigned int ready = 4242;
    QCOMPARE(orviCheckReadyForUpdate(opened.handle, 30, &ready), expected);
    QCOMPARE(ready, 4242u);

    /* The handle stays usable. */
    QCOMPARE(orviCheckReadyForUpdate(opened.handle, 200, &ready), int(ORVI_OK));
    QCOMPARE(ready, 1u);
    orviClose(opened.handle);
}

void OrviLinkTest::sequenceWrapsAfter65536Requests()
{
    /* The open request and 65535 data packets use up 0..65535; the next request carries 0. */
    OpenedDevice opened = plugAndOpen(1);
    QVERIFY(opened.handle != nullptr);
    const QString big = m_files.filePath("wrap.bin");
    const QString empty = m_files.filePath("empty.bin");
    QVERIFY(writeBytes(big, patternBytes(65534 * 56)));
    QVERIFY(writeBytes(empty, {}));

    StdoutCapture capture;
    QCOMPARE(orviSendMicroFW(opened.handle, localPath(big).c_str(), nullptr), int(ORVI_OK));
    QCOMPARE(opened.handle->nextSequence, 0u);
    QCOMPARE(opened.handle->lastSequence, 65535u);
    QCOMPARE(orviSendMicroFW(opened.handle, localPath(empty).c_str(), nullptr), int(ORVI_OK));
    capture.finish();

    const auto frames = opened.emulator->frames();
    QCOMPARE(frames.size(), size_t(1 + 65535 + 1 + 1 + 1));
    QCOMPARE(int(frames[65535].sequence), 65535);
    QCOMPARE(int(frames[65536].command), 0x0005);
    QCOMPARE(int(frames[65536].sequence), 65535);
    QCOMPARE(int(frames[65537].command), 0x0004);
    QCOMPARE(int(frames[65537].sequence), 0);
    QCOMPARE(int(frames[65538].command), 0x0005);
    QCOMPARE(int(frames[65538].sequence), 0);
    QCOMPARE(opened.handle->nextSequence, 1u);
    QVERIFY(opened.emulator->violations().empty());
    QCOMPARE(opened.emulator->installCount(), 2);
    orviClose(opened.handle);
}

void OrviLinkTest::failedWriteDoesNotAdvanceSequence()
{
    OpenedDevice opened = plugAndOpen(1);
    QVERIFY(opened.handle != nullptr);
    const QString file = m_files.filePath("fw.bin");
    QVERIFY(writeBytes(file, patternBytes(200)));
    opened.emulator->failWriteAtReport(3); /* the second data packet */

    StdoutCapture capture;
    QCOMPARE(orviSendMicroFW(opened.handle, localPath(file).c_str(), nullptr), int(ORVI_ERR_WRITE));
    QCOMPARE(opened.handle->nextSequence, 2u);
    QCOMPARE(orviSendMicroFW(opened.handle, localPath(file).c_str(), nullptr), int(ORVI_OK));
    capture.finish();

    const auto frames = opened.emulator->frames();
    QCOMPARE(frames.size(), size_t(1 + 2 + 4 + 1));
    QVERIFY(!frames[2].accepted);
    QCOMPARE(int(frames[2].sequence), 2);
    QCOMPARE(int(frames[3].sequence), 2); /* the retry starts where the failed packet was */
    QCOMPARE(int(frames[7].command), 0x0005);
    QCOMPARE(int(frames[7].sequence), 5);
    orviClose(opened.handle);
}

QTEST_GUILESS_MAIN(OrviLinkTest)
#include "orvi_link_test.moc"
