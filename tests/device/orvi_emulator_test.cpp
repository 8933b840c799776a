/* What the device tests trust the emulator and the simulated bus for. */
#include "device_test_support.h"

#include <QtTest>

using OrviSim::Component;

class OrviEmulatorTest : public QObject {
    Q_OBJECT

private slots:
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

};

QTEST_GUILESS_MAIN(OrviEmulatorTest)
#include "orvi_emulator_test.moc"
