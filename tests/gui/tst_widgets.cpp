#include "gui/device_status_view.h"
#include "gui/message_box.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QtTest>

using namespace OrviPlus;

// The status view with the version texts it shows, and the message box.
class WidgetsTest : public QObject
{
    Q_OBJECT

private slots:
    void statusViewTexts_data()
    {
        QTest::addColumn<DeviceInfo>("info");
        QTest::addColumn<QString>("text");
        QTest::newRow("unknown model") << DeviceInfo{2, 0x1234, {7, 1, 4}, {1, 2, 0}, 0x1F, 0}
                                       << " Connected\n\nMCU:    1.4\nDSP:   Beta 2.0\nEnsemble:   0x0\n";
        QTest::newRow("largest") << DeviceInfo{1, 0, {0, 15, 15}, {2, 0, 0}, 0xFFFF, 0xFFFFFFFF}
                                 << "Orvi+ Connected\n\nMCU:   Alpha 15.15\nDSP:   Pre-production 0.0\n"
                                    "Styles:   0xFFFF\nEnsemble:   0xFFFFFFFF\n";
    }

    void statusViewTexts()
    {
        QFETCH(DeviceInfo, info);
        QFETCH(QString, text);
        DeviceStatusView view;
        view.setInfo(info);
        QCOMPARE(view.text(), text);
    }

    void messageBoxModes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("hidden") << 0 << QColor();
        QTest::newRow("information") << 1 << QColor(200, 230, 255, 230);
        QTest::newRow("warning") << 2 << QColor(255, 225, 120, 230);
        QTest::newRow("error") << 3 << QColor(255, 180, 180, 230);
        QTest::newRow("four") << 4 << QColor();
        QTest::newRow("negative") << -1 << QColor();
    }

    // The box sits in a shown parent, as in the window, so visibility is what a user sees.
    void messageBoxModes()
    {
        QFETCH(int, mode);
        QFETCH(QColor, colour);
        QWidget parent;
        auto *box = new MessageBox;
        (new QVBoxLayout(&parent))->addWidget(box);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        box->warning(QStringLiteral("careful"));
        QVERIFY(box->setProperty("mode", mode));
        QCOMPARE(box->mode(), mode);
        QCOMPARE(box->isVisible(), colour.isValid());
        const QLabel *label = box->findChild<QLabel *>();
        QCOMPARE(label->autoFillBackground(), colour.isValid());
        QCOMPARE(box->text(), QStringLiteral("careful"));
        if (colour.isValid()) {
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                QCOMPARE(box->palette().color(group, QPalette::Window), colour);
            // The label paints with the box's palette, not one of its own.
            QCOMPARE(label->palette().color(QPalette::Window), colour);
        }
    }
};

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"
