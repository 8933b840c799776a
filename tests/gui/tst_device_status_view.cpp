#include "gui/device_status_view.h"

#include <QLabel>
#include <QLayout>
#include <QtTest>

using namespace OrviPlus;

namespace {

DeviceInfo sampleInfo(int model)
{
    DeviceInfo info;
    info.model = model;
    info.auxWord = 0x1234;
    info.mcuVersion = {3, 1, 4};
    info.dspVersion = {1, 2, 0};
    info.stylesVersion = 0x1F;
    info.ensembleVersion = 0x2A;
    return info;
}

} // namespace

class DeviceStatusViewTest : public QObject
{
    Q_OBJECT

private slots:
    void labelIsCentredAndAlone();
    void orviShowsFourLinesWithoutStyles();
    void orviPlusAddsTheStylesLine();
    void unknownModelHasNoNameAndNoStyles();
    void largestVersionsPrintUnsigned();
    void setInfoReplacesEarlierText();
    void textPropertyReadsAndWritesTheLabel();
};

void DeviceStatusViewTest::labelIsCentredAndAlone()
{
    DeviceStatusView view;
    auto *label = view.findChild<QLabel *>();
    QVERIFY(label);
    QCOMPARE(label->alignment(), Qt::Alignment(Qt::AlignHCenter));
    QVERIFY(qobject_cast<QHBoxLayout *>(view.layout()));
    QCOMPARE(view.layout()->count(), 1);
    QCOMPARE(view.text(), QString());
}

void DeviceStatusViewTest::orviShowsFourLinesWithoutStyles()
{
    DeviceStatusView view;
    view.setInfo(sampleInfo(0));
    QCOMPARE(view.text(), QStringLiteral("Orvi Connected\n\nMCU:   Production 1.4\nDSP:   Beta 2.0\nEnsemble:   0x2A\n"));
}

void DeviceStatusViewTest::orviPlusAddsTheStylesLine()
{
    DeviceStatusView view;
    view.setInfo(sampleInfo(1));
    QCOMPARE(view.text(),
             QStringLiteral("Orvi+ Connected\n\nMCU:   Production 1.4\nDSP:   Beta 2.0\nStyles:   0x1F\n"
                            "Ensemble:   0x2A\n"));
}

void DeviceStatusViewTest::unknownModelHasNoNameAndNoStyles()
{
    DeviceStatusView view;
    DeviceInfo info = sampleInfo(2);
    info.mcuVersion.stage = 7;
    view.setInfo(info);
    QCOMPARE(view.text(), QStringLiteral(" Connected\n\nMCU:    1.4\nDSP:   Beta 2.0\nEnsemble:   0x2A\n"));
}

void DeviceStatusViewTest::largestVersionsPrintUnsigned()
{
    DeviceStatusView view;
    DeviceInfo info = sampleInfo(1);
    info.stylesVersion = 0xFFFF;
    info.ensembleVersion = 0xFFFFFFFF;
    info.mcuVersion = {0, 15, 15};
    info.dspVersion = {2, 0, 0};
    view.setInfo(info);
    QCOMPARE(view.text(),
             QStringLiteral("Orvi+ Connected\n\nMCU:   Alpha 15.15\nDSP:   Pre-production 0.0\nStyles:   0xFFFF\n"
                            "Ensemble:   0xFFFFFFFF\n"));
}

void DeviceStatusViewTest::setInfoReplacesEarlierText()
{
    DeviceStatusView view;
    view.setText(QStringLiteral("Waiting..."));
    view.setInfo(sampleInfo(1));
    view.setInfo(sampleInfo(0));
    QVERIFY(view.text().startsWith(QStringLiteral("Orvi Connected\n\n")));
    QVERIFY(!view.text().contains(QStringLiteral("Waiting")));
    QVERIFY(!view.text().contains(QStringLiteral("Styles")));
}

void DeviceStatusViewTest::textPropertyReadsAndWritesTheLabel()
{
    DeviceStatusView view;
    auto *label = view.findChild<QLabel *>();

    QVERIFY(view.setProperty("text", QStringLiteral("No device connected")));
    QCOMPARE(label->text(), QStringLiteral("No device connected"));

    view.setInfo(sampleInfo(0));
    QCOMPARE(view.property("text").toString(), label->text());

    const QMetaProperty property = view.metaObject()->property(view.metaObject()->indexOfProperty("text"));
    QVERIFY(property.isDesignable() && property.isScriptable() && property.isStored());
}

QTEST_MAIN(DeviceStatusViewTest)
#include "tst_device_status_view.moc"
