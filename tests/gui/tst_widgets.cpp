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
    void statusViewTexts()
    {
        const std::pair<DeviceInfo, const char *> cases[] = {
                {{2, 0x1234, {7, 1, 4}, {1, 2, 0}, 0x1F, 0},
                 " Connected\n\nMCU:    1.4\nDSP:   Beta 2.0\nEnsemble:   0x0\n"},
                {{1, 0, {0, 15, 15}, {2, 0, 0}, 0xFFFF, 0xFFFFFFFF},
                 "Orvi+ Connected\n\nMCU:   Alpha 15.15\nDSP:   Pre-production 0.0\nStyles:   0xFFFF\n"
                 "Ensemble:   0xFFFFFFFF\n"}};
        for (const auto &[info, text] : cases) {
            DeviceStatusView view;
            view.setInfo(info);
            QCOMPARE(view.text(), QString::fromLatin1(text));
        }
    }

    // The box sits in a shown parent, as in the window, so visibility is what a user sees.
    void messageBoxModes()
    {
        QWidget parent;
        auto *box = new MessageBox;
        (new QVBoxLayout(&parent))->addWidget(box);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        const QLabel *label = box->findChild<QLabel *>();
        // By mode from -1 to 4; only 1 to 3 show, each in its colour.
        const QColor colours[] = {QColor(), QColor(), QColor(200, 230, 255, 230), QColor(255, 225, 120, 230),
                                  QColor(255, 180, 180, 230), QColor()};
        for (int mode = -1; mode <= 4; ++mode) {
            const QColor colour = colours[mode + 1];
            box->warning(QStringLiteral("careful"));
            QVERIFY(box->setProperty("mode", mode));
            QCOMPARE(box->mode(), mode);
            QCOMPARE(box->isVisible(), colour.isValid());
            QCOMPARE(label->autoFillBackground(), colour.isValid());
            QCOMPARE(box->text(), QStringLiteral("careful"));
            for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                QVERIFY(!colour.isValid() || box->palette().color(group, QPalette::Window) == colour);
            // The label paints with the box's palette, not one of its own.
            QVERIFY(!colour.isValid() || label->palette().color(QPalette::Window) == colour);
        }
    }
};

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"
