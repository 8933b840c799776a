#include "gui/message_box.h"

#include <QLabel>
#include <QLayout>
#include <QtTest>

using namespace OrviPlus;

// Each box sits in a shown parent, as in the window, so visibility is what a user sees.
class MessageBoxTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsEmptyInModeZeroWithoutHidingItself();
    void labelWrapsWithAMarginAndFillsTheBox();
    void shownModesPaintTheirColour_data();
    void shownModesPaintTheirColour();
    void modesOutsideOneToThreeHideAndAreKept_data();
    void modesOutsideOneToThreeHideAndAreKept();
    void modeZeroHidesButKeepsTheText();
    void clearHidesAndEmpties();
    void textWrittenWhileHiddenAppearsWithTheNextMode();
    void warningAfterErrorShowsTheNewTextOnAmber();
    void propertiesWorkByName();

private:
    QLabel *label() const { return m_box->findChild<QLabel *>(); }
    QColor background() const { return m_box->palette().color(QPalette::Window); }

    QWidget *m_parent = nullptr;
    MessageBox *m_box = nullptr;
};

void MessageBoxTest::init()
{
    m_parent = new QWidget;
    auto *layout = new QVBoxLayout(m_parent);
    m_box = new MessageBox;
    layout->addWidget(m_box);
    m_parent->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_parent));
}

void MessageBoxTest::cleanup()
{
    delete m_parent;
    m_parent = nullptr;
    m_box = nullptr;
}

void MessageBoxTest::startsEmptyInModeZeroWithoutHidingItself()
{
    QCOMPARE(m_box->mode(), 0);
    QCOMPARE(m_box->text(), QString());
    QVERIFY(m_box->isVisible());
    QVERIFY(!label()->autoFillBackground());
}

void MessageBoxTest::labelWrapsWithAMarginAndFillsTheBox()
{
    QVERIFY(label()->wordWrap());
    QCOMPARE(label()->margin(), 10);
    QCOMPARE(m_box->layout()->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(m_box->layout()->count(), 1);
    QCOMPARE(m_box->layout()->itemAt(0)->widget(), label());
}

void MessageBoxTest::shownModesPaintTheirColour_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("information") << 1 << QColor(200, 230, 255, 230);
    QTest::newRow("warning") << 2 << QColor(255, 225, 120, 230);
    QTest::newRow("error") << 3 << QColor(255, 180, 180, 230);
}

void MessageBoxTest::shownModesPaintTheirColour()
{
    QFETCH(int, mode);
    QFETCH(QColor, colour);

    m_box->setMode(0);
    QVERIFY(!m_box->isVisible());

    m_box->setMode(mode);
    QCOMPARE(m_box->mode(), mode);
    QVERIFY(m_box->isVisible());
    QVERIFY(label()->autoFillBackground());
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        QCOMPARE(m_box->palette().color(group, QPalette::Window), colour);
    // The label paints with the box's palette, not one of its own.
    QCOMPARE(label()->palette().color(QPalette::Window), colour);
    QCOMPARE(m_box->text(), QString());
}

void MessageBoxTest::modesOutsideOneToThreeHideAndAreKept_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("four") << 4;
    QTest::newRow("five") << 5;
    QTest::newRow("negative") << -1;
}

void MessageBoxTest::modesOutsideOneToThreeHideAndAreKept()
{
    QFETCH(int, mode);

    m_box->warning(QStringLiteral("careful"));
    QVERIFY(m_box->isVisible());

    m_box->setMode(mode);
    QCOMPARE(m_box->mode(), mode);
    QCOMPARE(m_box->property("mode").toInt(), mode);
    QVERIFY(!m_box->isVisible());
    QVERIFY(!label()->autoFillBackground());
    QCOMPARE(m_box->text(), QStringLiteral("careful"));
}

void MessageBoxTest::modeZeroHidesButKeepsTheText()
{
    m_box->info(QStringLiteral("Checking"));
    m_box->setMode(0);
    QVERIFY(!m_box->isVisible());
    QVERIFY(!label()->autoFillBackground());
    QCOMPARE(m_box->text(), QStringLiteral("Checking"));
    // The colour stays in the palette; only the filling is off.
    QCOMPARE(background(), QColor(200, 230, 255, 230));
}

void MessageBoxTest::clearHidesAndEmpties()
{
    m_box->error(QStringLiteral("Failed"));
    m_box->clear();
    QCOMPARE(m_box->mode(), 0);
    QVERIFY(!m_box->isVisible());
    QVERIFY(!label()->autoFillBackground());
    QCOMPARE(m_box->text(), QString());
    QCOMPARE(label()->text(), QString());
}

void MessageBoxTest::textWrittenWhileHiddenAppearsWithTheNextMode()
{
    m_box->setMode(0);
    m_box->setText(QStringLiteral("Later"));
    QVERIFY(!m_box->isVisible());
    QCOMPARE(m_box->mode(), 0);

    m_box->setMode(2);
    QVERIFY(m_box->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("Later"));
}

void MessageBoxTest::warningAfterErrorShowsTheNewTextOnAmber()
{
    m_box->error(QStringLiteral("u"));
    QCOMPARE(background(), QColor(255, 180, 180, 230));

    m_box->warning(QStringLiteral("t"));
    QCOMPARE(m_box->mode(), 2);
    QVERIFY(m_box->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("t"));
    QCOMPARE(background(), QColor(255, 225, 120, 230));

    m_box->info(QStringLiteral("i"));
    QCOMPARE(m_box->mode(), 1);
    QCOMPARE(label()->text(), QStringLiteral("i"));
    QCOMPARE(background(), QColor(200, 230, 255, 230));
}

void MessageBoxTest::propertiesWorkByName()
{
    const QMetaObject *meta = m_box->metaObject();
    const int first = meta->propertyOffset();
    QCOMPARE(meta->propertyCount() - first, 2);
    QCOMPARE(meta->property(first).name(), "mode");
    QCOMPARE(meta->property(first + 1).name(), "text");
    for (int i = first; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        QVERIFY(property.isReadable() && property.isWritable());
        QVERIFY(property.isDesignable() && property.isScriptable() && property.isStored());
    }

    QVERIFY(m_box->setProperty("mode", 3));
    QVERIFY(m_box->isVisible());
    QCOMPARE(background(), QColor(255, 180, 180, 230));

    // Writing the text alone keeps the mode and the visibility, as state entries expect.
    QVERIFY(m_box->setProperty("text", QStringLiteral("Waiting for the device to reboot...")));
    QCOMPARE(m_box->mode(), 3);
    QVERIFY(m_box->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("Waiting for the device to reboot..."));

    QVERIFY(m_box->setProperty("mode", 0));
    QVERIFY(!m_box->isVisible());
    QVERIFY(m_box->setProperty("text", QStringLiteral("hidden")));
    QVERIFY(!m_box->isVisible());
    QCOMPARE(m_box->property("text").toString(), QStringLiteral("hidden"));
}

QTEST_MAIN(MessageBoxTest)
#include "tst_message_box.moc"
