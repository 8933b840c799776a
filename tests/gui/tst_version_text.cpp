#include "gui/version_text.h"

#include <QtTest>

using namespace OrviPlus;

class VersionTextTest : public QObject
{
    Q_OBJECT

private slots:
    void firmwareVersion_data();
    void firmwareVersion();
    void hexVersionOfStyles_data();
    void hexVersionOfStyles();
    void hexVersionOfEnsemble_data();
    void hexVersionOfEnsemble();
};

void VersionTextTest::firmwareVersion_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("text");

    QTest::newRow("alpha") << 0 << 0 << 1 << "Alpha 0.1";
    QTest::newRow("beta") << 1 << 2 << 0 << "Beta 2.0";
    QTest::newRow("pre-production") << 2 << 3 << 9 << "Pre-production 3.9";
    QTest::newRow("production") << 3 << 1 << 4 << "Production 1.4";
    QTest::newRow("largest nibbles") << 3 << 15 << 15 << "Production 15.15";
    QTest::newRow("unknown stage 4") << 4 << 1 << 4 << " 1.4";
    QTest::newRow("unknown stage 255") << 255 << 0 << 0 << " 0.0";
    QTest::newRow("negative stage") << -1 << 7 << 3 << " 7.3";
    QTest::newRow("signed numbers") << 0 << -1 << -2 << "Alpha -1.-2";
}

void VersionTextTest::firmwareVersion()
{
    QFETCH(int, stage);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, text);

    FirmwareVersion version;
    version.stage = stage;
    version.major = major;
    version.minor = minor;
    QCOMPARE(firmwareVersionText(version), text);
}

void VersionTextTest::hexVersionOfStyles_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << 0u << "0x0";
    QTest::newRow("one digit") << 0xFu << "0xF";
    QTest::newRow("upper case") << 0x1Fu << "0x1F";
    QTest::newRow("no leading zeros") << 0x0A0u << "0xA0";
    QTest::newRow("largest") << 0xFFFFu << "0xFFFF";
}

void VersionTextTest::hexVersionOfStyles()
{
    QFETCH(uint, value);
    QFETCH(QString, text);
    QCOMPARE(hexVersionText(uint16_t(value)), text);
}

void VersionTextTest::hexVersionOfEnsemble_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << 0u << "0x0";
    QTest::newRow("upper case") << 0x2Au << "0x2A";
    QTest::newRow("above 16 bits") << 0x12ABCu << "0x12ABC";
    QTest::newRow("high bit set") << 0x80000000u << "0x80000000";
    QTest::newRow("largest") << 0xFFFFFFFFu << "0xFFFFFFFF";
}

void VersionTextTest::hexVersionOfEnsemble()
{
    QFETCH(uint, value);
    QFETCH(QString, text);
    QCOMPARE(hexVersionText(uint32_t(value)), text);
}

QTEST_APPLESS_MAIN(VersionTextTest)
#include "tst_version_text.moc"
