/* The device protocol over the simulated bus: frames, console output, progress and failures, and the emulator
 * those rely on. */
#include "device_test_support.h"

#include <QtTest>

#include <algorithm>

using OrviSim::Component;
using OrviSim::ReplyFault;

namespace {

constexpr size_t kSector = 65536;
constexpr size_t kPacketsPerSector = 1171;

const char* const kOpening[] = {"Sending Micro FW: %1\n", "Sending DSP FW: %1\n", "Sending styles: %1\n",
                                "Sending ensemble audio: %1\n"};
const int kMcu = int(Component::Mcu), kDsp = int(Component::Dsp), kStyles = int(Component::Styles),
          kEnsemble = int(Component::Ensemble);
/* What a content sector prints once it is sent (%1: "sector/sectors"). */
const QString kSectorDone = "Progress: ..........\nSector sent. Waiting to be written...\nSector %1 written.\n";
/* What 100000 bytes of content print up to sending their second sector. */
const QString kTwoSectors = "Read sector: 65536 bytes\nSending sector 1/2...\n" + kSectorDone.arg("1/2")
                          + "Read sector: 34464 bytes\nEOF\nSending sector 2/2...\n";

QByteArray pattern(int size)
{
    return toByteArray(patternBytes(size_t(size)));
}

/* Records every progress call; answers "stop" at call number stopAtCall (1-based, 0 never). */
struct ProgressLog {
    std::vector<float> fractions;
    std::vector<long> totals;
    int stopAtCall = 0;
    const OrviProgress hook{[](float fraction, long total, void* userData) {
        auto* log = static_cast<ProgressLog*>(userData);
        log->fractions.push_back(fraction);
        log->totals.push_back(total);
        return int(log->fractions.size()) == log->stopAtCall ? 1 : 0;
    }, this};
};

/* The printed content checksum: XOR of little-endian words of 2 or 4 bytes (sectors hold whole words). */
QString wordsChecksum(const Bytes& file, size_t wordSize)
{
    uint32_t checksum = 0;
    for (size_t i = 0; i < file.size(); ++i)
        checksum ^= uint32_t(file[i]) << (8 * (i % wordSize));
    return QString::number(checksum, 16).toUpper().rightJustified(int(wordSize * 2), '0');
}

} // namespace

class OrviProtocolTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_files;
    std::shared_ptr<OrviSim::OrviEmulator> m_emulator;
    OrviDevice* m_handle = nullptr;

    QString path(const QString& name) const { return m_files.filePath(name); }

    bool open(int model)
    {
        orviClose(m_handle);
        HidSim::reset();
        m_emulator = HidSim::plug(model == 0 ? HidSim::kProductOrvi : HidSim::kProductOrviPlus, "dev-1");
        m_handle = orviOpen("dev-1", model, 500, nullptr);
        m_emulator->clearLogs();
        return m_handle != nullptr;
    }

    int send(int component, const QString& file, const OrviProgress* progress, QString* printed = nullptr)
    {
        StdoutCapture capture;
        const int result = kSend[component](m_handle, localPath(file).c_str(), progress);
        if (printed != nullptr)
            *printed = capture.finish();
        return result;
    }

private slots:
    void init() { orviSetSectorWaitForTesting(0); }

    void cleanup()
    {
        orviClose(std::exchange(m_handle, nullptr));
        QCOMPARE(HidSim::openHandleCount(), 0);
    }

    /* What the tests below trust the emulator for: it installs only a whole, intact image. */
    void brokenFirmwareIsNeverInstalled()
    {
        OrviSim::OrviEmulator emulator(1);
        emulator.setRebootBehaviour({true, 0, "", std::nullopt});
        const auto feed = [&emulator](const Report& report) { emulator.receiveReport(report.data(), report.size()); };
        feed(request(0x000A, 0, 0));
        feed(request(0x0004, 56, 1, Bytes(56, 0x11))); /* a lost packet: what came is intact, the image is not */
        feed(request(0x0004, 56, 3, Bytes(56, 0x22)));
        feed(request(0x0005, 0, 3, {0x00}));
        QVERIFY(emulator.lastTransfer(Component::Mcu)->checksumOk);
        feed(request(0x0002, 54, 4, {0x01, 0xFF, 0x10})); /* a wrong checksum */
        feed(request(0x0003, 0, 4, {0xEF}));
        feed(request(0x0002, 54, 5, {0x01, 0xFF, 0x10})); /* the right one with the wrong packet number */
        feed(request(0x0003, 0, 4, {0xEE}));
        QCOMPARE(emulator.installCount(), 0);
        QVERIFY(!emulator.rebootPending());
        std::string violations;
        for (const auto& violation : emulator.violations())
            violations += std::to_string(violation.reportNumber) + ": " + violation.what + "\n";
        QCOMPARE(violations,
                 std::string("3: sequence 3, expected 2\n8: DSP end packet with sequence 4, last data packet 5\n"));

        feed(request(0x0002, 54, 6, {0x01, 0xFF, 0x10}));
        feed(request(0x0003, 0, 6, {0xEE}));
        const auto transfer = emulator.lastTransfer(Component::Dsp);
        QVERIFY(transfer->installed && emulator.rebootPending());
        QVERIFY(transfer->holdsExactly({0x01, 0xFF, 0x10}));
        Bytes longer{0x01, 0xFF, 0x10};
        longer.resize(54); /* would have needed a second packet */
        for (const Bytes& other : {Bytes{0x01, 0xFF}, Bytes{0x01, 0xFF, 0x11}, longer})
            QVERIFY(!transfer->holdsExactly(other));
    }

    void replyFaults()
    {
        /* The fault hits another open request, else a ready query; fault -1: the write fails. On a failure the
         * ready flag passed back is left alone. */
        struct Case { bool opening; int fault; int result; unsigned ready; QString printed; };
        const Case cases[] = {{true, -1, 5, 4242u, ""},
                              {true, int(ReplyFault::BadCount), 9, 4242u, "bytes: 258\nbytes: 258\n"},
                              /* accepted, but the flag it lacks is not taken from the ready reply before it */
                              {false, int(ReplyFault::ShortReply), 0, 0u, ""},
                              {false, -1, 5, 4242u, ""}};
        for (const auto& [opening, fault, result, ready, printed] : cases) {
            unsigned int code = 0, flag = 0;
            QVERIFY(open(1) && orviCheckReadyForUpdate(m_handle, 200, &flag) == ORVI_OK && flag != 0);
            const OrviSim::ReplyFaultSetting setting{ReplyFault(std::max(fault, 0)), opening ? 2 : 1, 258};
            opening ? m_emulator->setHeaderReplyFault(setting) : m_emulator->setReadyReplyFault(setting);
            if (fault == -1)
                m_emulator->failWriteAtReport(m_emulator->reportCount() + 1, 2);
            flag = 4242;
            StdoutCapture capture;
            if (opening)
                QVERIFY(!orviOpen("dev-1", 1, 50, &code) && !orviOpen("dev-1", 1, 50, nullptr));
            else
                code = unsigned(orviCheckReadyForUpdate(m_handle, 30, &flag));
            QCOMPARE(capture.finish(), printed);
            QCOMPARE(int(code), result);
            QCOMPARE(flag, ready);
            QVERIFY(m_emulator->violations().empty());
        }
    }

    void framesAndOutput()
    {
        /* A file sent whole and what is printed after the opening line (%2: the checksum). */
        const QString mcuEnd = "Checksum: %2\nSent end packet.\nDone sending micro firmware.\n";
        const QString dspEnd = "EOF.\nTotal sent: 0 Kb\nChecksum: %2\nSent end packet.\nDone sending DSP firmware.\n";
        const QString end = "Sending terminating packet...\nTotal Kb written: %1\nChecksum = %2\n";
        const Bytes image = OrviSim::buildImage(Component::Dsp, 0x0215, 5000);
        const std::tuple<int, QByteArray, QString> cases[] = {
            {kMcu, pattern(0), "EOF.\nTotal sent: 0 kb\n" + mcuEnd},
            {kMcu, pattern(3000), "Sent: 1 kb\nSent: 2 kb\nEOF.\nTotal sent: 2 kb\n" + mcuEnd},
            {kDsp, QByteArray::fromStdString(OrviSim::dspTextFromBytes(image)),
             "Sent: 1 Kb\nSent: 2 Kb\nSent: 3 Kb\nSent: 4 Kb\n" + QString(dspEnd).replace("0 Kb", "4 Kb")},
            {kStyles, "", "Read sector: 0 bytes\nEOF\n" + end.arg(0)},
            {kEnsemble, "\1\2\3", "Read sector: 3 bytes\nEOF\nSending sector 1/1...\n" + kSectorDone.arg("1/1")
                 + end.arg(0).replace("%2", "00030201")},
            {kStyles, pattern(100000), kTwoSectors + kSectorDone.arg("2/2") + end.arg(97)}};
        for (const auto& [component, file, printed] : cases) {
            Bytes bytes(file.begin(), file.end());
            QVERIFY(component != kDsp || OrviSim::bytesFromDspText(file.toStdString(), &bytes));
            const bool firmware = component == kMcu || component == kDsp;
            QVERIFY(open(1));
            QVERIFY(writeFile(path("file"), file));
            ProgressLog log;
            QString output;
            QCOMPARE(send(component, path("file"), &log.hook, &output), int(ORVI_OK));
            const QString checksum = firmware ? QString::number(xorOf(bytes), 16).toUpper()
                                              : wordsChecksum(bytes, component == kStyles ? 2 : 4);
            QCOMPARE(output, QString(kOpening[component]).arg(path("file")) + QString(printed).replace("%2", checksum));

            /* Firmware: n / chunk + 1 packets and the end packet; content: sectors of 1171 packets and the
             * terminator. Progress: once per packet, up to the whole file; the total is the size (DSP: lines). */
            const size_t n = bytes.size(), chunk = component == kDsp ? 54 : 56;
            const size_t count = firmware ? n / chunk + 1 : (n + kSector - 1) / kSector * kPacketsPerSector;
            QCOMPARE(m_emulator->frames().size(), count + 1);
            QVERIFY(std::is_sorted(log.fractions.begin(), log.fractions.end()));
            QVERIFY(count == 0 || log.fractions.back() == 1.0f);
            QCOMPARE(log.totals, std::vector<long>(count, long(n)));
        }
    }

    void failedTransfers()
    {
        /* A transfer that fails. The file: "missing" and "folder" stand for those. The progress call that answers
         * "stop" (code 20) or the write that fails (code 5), the result, the packets written or tried up to the
         * failure, and what is printed after the opening line (%2: the checksum of the bytes read). */
        struct Failure { const char* name; int component; QByteArray file; int stopAtCall, failAtReport, result,
                         packets; QString tail; };
        const QString mcuDone = "Checksum: %2\nDone sending micro firmware.\n";
        const Failure cases[] = {
            {"mcu missing", kMcu, "missing", 0, 0, 15, 0, "Failed to open file.\n"},
            {"ensemble folder", kEnsemble, "folder", 0, 0, 15, 0, "Failed to open file.\n"},
            {"styles on an orvi, before opening", kStyles, "missing", 0, 0, 16, 0, "Not supported.\n"},
            {"dsp bad line after a packet", kDsp, QByteArray("0x01\n").repeated(60) + "0x1FF\n", 0, 0, 13, 1,
             "Total sent: 0 Kb\nChecksum: 0\nDone sending DSP firmware.\n"},
            {"mcu hook stops after a progress line", kMcu, pattern(2000), 19, 0, 20, 19,
             "Sent: 1 kb\nInterrupted!\nTotal sent: 1 kb\n" + mcuDone},
            {"mcu write fails", kMcu, pattern(150), 0, 2, 5, 2, "Failed to send packet.\nTotal sent: 0 kb\n" + mcuDone},
            {"ensemble hook stops in sector 2", kEnsemble, pattern(100000), 1176, 0, 20, 1176,
             kTwoSectors + "Progress: .Interrupted!\n"},
            {"styles write fails late in a sector", kStyles, pattern(100000), 0, 1871, 5, 1871,
             kTwoSectors + "Progress: ......Error writing packet.\n"},
            {"terminating packet write fails", kStyles, pattern(1000), 0, 1172, 5, 1172,
             "Read sector: 1000 bytes\nEOF\nSending sector 1/1...\n" + kSectorDone.arg("1/1")
                 + "Sending terminating packet...\n"}};
        for (const auto& [name, component, file, stopAtCall, failAtReport, result, packets, tail] : cases) {
            QVERIFY(open(result == ORVI_ERR_NOT_SUPPORTED ? 0 : 1));
            const QString filePath = file == "folder" ? m_files.path() : path(name);
            QVERIFY(file == "missing" || file == "folder" || writeFile(filePath, file));
            if (failAtReport > 0)
                m_emulator->failWriteAtReport(m_emulator->reportCount() + failAtReport);
            ProgressLog log;
            log.stopAtCall = stopAtCall;
            orviSetSectorWaitForTesting(500000000L);
            QElapsedTimer clock;
            clock.start();
            QString printed;
            QCOMPARE(send(component, filePath, &log.hook, &printed), result);
            const qint64 elapsed = clock.elapsed();
            const Bytes read(file.begin(), file.begin() + std::min<qsizetype>(file.size(), 56 * packets));
            const QString checksum = QString::number(xorOf(read), 16).toUpper();
            QCOMPARE(printed, QString(kOpening[component]).arg(filePath) + QString(tail).replace("%2", checksum));

            /* Exactly the packets up to the failure, no end or terminating packet, no wait after a broken sector. */
            const auto frames = m_emulator->frames();
            QCOMPARE(int(frames.size()), packets);
            QVERIFY(frames.empty() || frames.back().accepted == (failAtReport == 0));
            const int sectorsWritten = std::max(packets - 1, 0) / int(kPacketsPerSector);
            QVERIFY2(elapsed >= 500 * sectorsWritten && elapsed < 500 * sectorsWritten + 400,
                     qPrintable(QString("%1: %2 ms").arg(name).arg(elapsed)));
            /* The handle still works and counts on from the last packet written. */
            const auto written = std::count_if(frames.begin(), frames.end(), [](const auto& f) { return f.accepted; });
            QVERIFY(writeFile(path("good.bin"), toByteArray(patternBytes(10))));
            m_emulator->clearLogs();
            QCOMPARE(send(kMcu, path("good.bin"), nullptr), int(ORVI_OK));
            QCOMPARE(int(m_emulator->frames().at(0).sequence), int(written) + 1);
        }
    }
};

QTEST_GUILESS_MAIN(OrviProtocolTest)
#include "orvi_protocol_test.moc"
