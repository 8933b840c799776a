#include "gui/device_status_view.h"
#include "gui/message_box.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QtTest>

using namespace OrviPlus;

const QColor informationColour(200, 230, 255, 230);
const QColor warningColour(255, 225, 120, 230);
const QColor errorColour(255, 180, 180, 230);

// The status view with the version texts it shows, and the message box.
class WidgetsTest : public QObject
{
    Q_OBJECT

private slots:
    void statusViewTexts_data();
    void statusViewTexts();
    void init();
    void cleanup();
    void messageBoxModes_data();
    void messageBoxModes();

private:
    QLabel *label() const { return m_box->findChild<QLabel *>(); }
    QColor background(QPalette::ColorGroup group = QPalette::Active) const
    {
        return m_box->palette().color(group, QPalette::Window);
    }

    QWidget *m_parent = nullptr;
    MessageBox *m_box = nullptr;
};

void WidgetsTest::statusViewTexts_data()
{
    QTest::addColumn<DeviceInfo>("info");
    QTest::addColumn<QString>("text");

    const DeviceInfo unknown{2, 0x1234, {7, 1, 4}, {1, 2, 0}, 0x1F, 0};
    const DeviceInfo largest{1, 0, {0, 15, 15}, {2, 0, 0}, 0xFFFF, 0xFFFFFFFF};
    QTest::newRow("unknown model") << unknown << " Connected\n\nMCU:    1.4\nDSP:   Beta 2.0\nEnsemble:   0x0\n";
    QTest::newRow("largest") << largest
                             << "Orvi+ Connected\n\nMCU:   Alpha 15.15\nDSP:   Pre-production 0.0\n"
                                "Styles:   0xFFFF\nEnsemble:   0xFFFFFFFF\n";
}

void WidgetsTest::statusViewTexts()
{
    QFETCH(DeviceInfo, info);
    QFETCH(QString, text);

    DeviceStatusView view;
    QCOMPARE(view.findChild<QLabel *>()->alignment(), Qt::Alignment(Qt::AlignHCenter));
    QVERIFY(view.setProperty("text", QStringLiteral("Waiting...")));
    QCOMPARE(view.text(), QStringLiteral("Waiting..."));
    view.setInfo(info);
    QCOMPARE(view.property("text").toString(), text);
}

// Each box sits in a shown parent, as in the window, so visibility is what a user sees.
void WidgetsTest::init()
{
    m_parent = new QWidget;
    m_box = new MessageBox;
    (new QVBoxLayout(m_parent))->addWidget(m_box);
    m_parent->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_parent));
    QCOMPARE(m_box->mode(), 0);
    QVERIFY(m_box->isVisible());
}

void WidgetsTest::cleanup()
{
    delete m_parent;
}

void WidgetsTest::messageBoxModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QColor>("colour");

    QTest::newRow("hidden") << 0 << QColor();
    QTest::newRow("information") << 1 << informationColour;
    QTest::newRow("warning") << 2 << warningColour;
    QTest::newRow("error") << 3 << errorColour;
    QTest::newRow("four") << 4 << QColor();
    QTest::newRow("negative") << -1 << QColor();
}

void WidgetsTest::messageBoxModes()
{
    QFETCH(int, mode);
    QFETCH(QColor, colour);

    m_box->warning(QStringLiteral("careful"));
    m_box->setMode(mode);
    QCOMPARE(m_box->property("mode").toInt(), mode);
    QCOMPARE(m_box->isVisible(), colour.isValid());
    QCOMPARE(label()->autoFillBackground(), colour.isValid());
    QCOMPARE(m_box->text(), QStringLiteral("careful"));
    if (colour.isValid()) {
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QCOMPARE(background(group), colour);
        // The label paints with the box's palette, not one of its own.
        QCOMPARE(label()->palette().color(QPalette::Window), colour);
    }
}

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"
