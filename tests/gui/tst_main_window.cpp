#include "device/device_monitor.h"
#include "gui/device_status_view.h"
#include "gui/main_window_updater.h"
#include "gui/message_box.h"

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <hid_sim.h>

using namespace OrviPlus;

// Walks the window's widget tree the way a user sees it: by page, by layout order.
class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void logsTheApplicationVersion();
    void prefersItsDesignSize();
    void opensOnTheConnectPage();
    void sidePanelStacksLogosStatusAndMakerLogo();
    void deviceLogosShowTheModelBandOfTheirOwnPicture();
    void makerLogoIsDimmedByTheRedVeil();
    void checkPageHoldsButtonsMessagesAndList();
    void checkButtonAsksForAnUpdateCheck();
    void updatePageHoldsTitleBarsAndMessage();
    void downloadBarTruncatesTheFraction_data();
    void downloadBarTruncatesTheFraction();
    void watchesTheBusFromTheStart();

private:
    QStackedWidget *pages() const { return m_window->findChild<QStackedWidget *>(); }
    QWidget *sidePanel() const { return m_window->findChild<QWidget *>(QStringLiteral("statusWidget")); }
    template<typename T> T *pageItem(int page, int index) const
    {
        return qobject_cast<T *>(pages()->widget(page)->layout()->itemAt(index)->widget());
    }
    template<typename T> T *sidePanelItem(int index) const
    {
        return qobject_cast<T *>(sidePanel()->layout()->itemAt(index)->widget());
    }

    MainWindow *m_window = nullptr;
};

void MainWindowTest::init()
{
    QTest::ignoreMessage(QtDebugMsg, "App version = 2.0.2");
    m_window = new MainWindow;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void MainWindowTest::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

void MainWindowTest::logsTheApplicationVersion()
{
    // init() fails unless the window logged exactly this line.
    QTest::ignoreMessage(QtDebugMsg, "App version = 2.0.2");
    MainWindow another;
}

void MainWindowTest::prefersItsDesignSize()
{
    QCOMPARE(m_window->sizeHint(), QSize(750, 500));
    QCOMPARE(m_window->centralWidget()->layout()->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(m_window->centralWidget()->layout()->itemAt(0)->widget(), sidePanel());
    QCOMPARE(m_window->centralWidget()->layout()->itemAt(1)->widget(), pages());
}

void MainWindowTest::opensOnTheConnectPage()
{
    QCOMPARE(pages()->count(), 3);
    QCOMPARE(pages()->currentIndex(), 0);
    QCOMPARE(pages()->contentsMargins(), QMargins(0, 0, 0, 0));

    auto *connectLabel = qobject_cast<QLabel *>(pages()->widget(0));
    QVERIFY(connectLabel);
    QVERIFY(connectLabel->isVisible());
    QCOMPARE(connectLabel->text(), QStringLiteral("Please connect a ORVI device."));
    QCOMPARE(connectLabel->alignment(), Qt::Alignment(Qt::AlignCenter));

    auto *status = m_window->findChild<DeviceStatusView *>(QStringLiteral("deviceInfo"));
    QVERIFY(status);
    QVERIFY(status->isVisible());
    QCOMPARE(status->text(), QStringLiteral("No device connected"));
    QCOMPARE(status->styleSheet(), QStringLiteral(" #deviceInfo QLabel { color: white; margin: 10 } "));
    // The style sheet reaches the status text: white on the black panel.
    QCOMPARE(status->findChild<QLabel *>()->palette().color(QPalette::WindowText), QColor(Qt::white));

    QVERIFY(sidePanelItem<QLabel>(0)->isVisible());
    QVERIFY(sidePanelItem<QLabel>(1)->isVisible());
}

void MainWindowTest::sidePanelStacksLogosStatusAndMakerLogo()
{
    QWidget *panel = sidePanel();
    QVERIFY(panel);
    QCOMPARE(panel->styleSheet(), QStringLiteral("#statusWidget { background-color: rgb(0,0,0); }"));
    QCOMPARE(panel->grab().toImage().pixelColor(panel->width() / 2, panel->height() * 3 / 4), QColor(Qt::black));

    QLayout *layout = panel->layout();
    QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(layout->spacing(), 0);
    QCOMPARE(layout->count(), 5);
    QVERIFY(sidePanelItem<QLabel>(0));
    QVERIFY(sidePanelItem<QLabel>(1));
    QVERIFY(sidePanelItem<DeviceStatusView>(2));
    QVERIFY(layout->itemAt(3)->spacerItem());
    QCOMPARE(static_cast<QBoxLayout *>(layout)->stretch(3), 1);
    QVERIFY(sidePanelItem<QLabel>(4));
    QCOMPARE(sidePanelItem<QLabel>(4)->alignment(), Qt::Alignment(Qt::AlignHCenter));
}

void MainWindowTest::deviceLogosShowTheModelBandOfTheirOwnPicture()
{
    const QStringList resources = {QStringLiteral(":/images/orvi_logo_orig.png"),
                                   QStringLiteral(":/images/orvi_logo_plus.png")};
    QImage shown[2];
    for (int i = 0; i < 2; ++i) {
        shown[i] = sidePanelItem<QLabel>(i)->pixmap(Qt::ReturnByValue).toImage();
        // 310 * 200 / 800 = 77.5, which Qt's scaling rounds up.
        QCOMPARE(shown[i].size(), QSize(200, 78));

        const QImage original(resources[i]);
        QVERIFY(!original.isNull());
        QVERIFY(QRect(QPoint(0, 0), original.size()).contains(QRect(100, 290, 800, 310)));
        const QImage band =
            original.copy(100, 290, 800, 310).scaledToWidth(200, Qt::SmoothTransformation).convertToFormat(shown[i].format());
        QCOMPARE(shown[i], band);
    }
    QVERIFY(shown[0] != shown[1]);
}

void MainWindowTest::makerLogoIsDimmedByTheRedVeil()
{
    const QImage logo = sidePanelItem<QLabel>(4)->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage original(QStringLiteral(":/images/brevanto_logo.png"));
    QCOMPARE(logo.width(), 100);
    QVERIFY(qAbs(logo.height() - original.height() * 100.0 / original.width()) < 1.0);

    // Fully transparent in the picture, the corner takes the veil's own colour.
    QCOMPARE(qAlpha(original.pixel(0, 0)), 0);
    const QRgb corner = logo.pixel(0, 0);
    QVERIFY2(qAbs(qRed(corner) - 15) <= 2 && qGreen(corner) == 0 && qBlue(corner) == 0 && qAbs(qAlpha(corner) - 150) <= 1,
             qPrintable(QColor::fromRgba(corner).name(QColor::HexArgb)));

    // The light word mark stays visible but no pixel keeps its full brightness.
    int brightest = 0;
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 0; x < logo.width(); ++x)
            brightest = qMax(brightest, qGreen(logo.pixel(x, y)));
    QVERIFY2(brightest > 80 && brightest <= 106, qPrintable(QString::number(brightest)));
}

void MainWindowTest::checkPageHoldsButtonsMessagesAndList()
{
    QLayout *layout = pages()->widget(1)->layout();
    QVERIFY(qobject_cast<QVBoxLayout *>(layout));
    QCOMPARE(layout->count(), 5);

    auto *checkButton = pageItem<QPushButton>(1, 0);
    QVERIFY(checkButton);
    QCOMPARE(checkButton->text(), QStringLiteral("Check for Latest Updates"));
    QVERIFY(checkButton->isEnabled());
    QVERIFY(pageItem<MessageBox>(1, 1));
    QVERIFY(pageItem<MessageBox>(1, 2));
    QVERIFY(pageItem<QListWidget>(1, 3));
    QCOMPARE(pageItem<QListWidget>(1, 3)->count(), 0);
    auto *startButton = pageItem<QPushButton>(1, 4);
    QVERIFY(startButton);
    QCOMPARE(startButton->text(), QStringLiteral("Start Update"));
    QVERIFY(!startButton->isEnabled());
}

void MainWindowTest::checkButtonAsksForAnUpdateCheck()
{
    QSignalSpy spy(m_window, &MainWindow::checkUpdatesRequest);
    pages()->setCurrentIndex(1);
    QTest::mouseClick(pageItem<QPushButton>(1, 0), Qt::LeftButton);
    QCOMPARE(spy.count(), 1);

    QTest::mouseClick(pageItem<QPushButton>(1, 4), Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
}

void MainWindowTest::updatePageHoldsTitleBarsAndMessage()
{
    auto *layout = qobject_cast<QVBoxLayout *>(pages()->widget(2)->layout());
    QVERIFY(layout);
    QCOMPARE(layout->spacing(), 15);
    QCOMPARE(layout->count(), 7);

    auto *title = pageItem<QLabel>(2, 0);
    QVERIFY(title);
    const QFont plain = QLabel().font();
    QCOMPARE(title->font().pointSize(), plain.pointSize() + 4);
    QCOMPARE(title->font().weight(), 75);
    QVERIFY(pageItem<QLabel>(2, 1));
    QVERIFY(pageItem<QLabel>(2, 3));
    QCOMPARE(pageItem<QLabel>(2, 1)->font().weight(), plain.weight());
    for (int index : {2, 4}) {
        auto *bar = pageItem<QProgressBar>(2, index);
        QVERIFY(bar);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
    }
    QVERIFY(pageItem<MessageBox>(2, 5));
    QVERIFY(layout->itemAt(6)->spacerItem());
    QCOMPARE(layout->stretch(6), 1);
}

void MainWindowTest::downloadBarTruncatesTheFraction_data()
{
    QTest::addColumn<float>("fraction");
    QTest::addColumn<int>("value");
    QTest::newRow("start") << 0.0f << 0;
    QTest::newRow("half and a bit") << 0.505f << 50;
    QTest::newRow("almost done") << 0.999f << 99;
    QTest::newRow("quarter") << 0.25f << 25;
    QTest::newRow("done") << 1.0f << 100;
}

void MainWindowTest::downloadBarTruncatesTheFraction()
{
    QFETCH(float, fraction);
    QFETCH(int, value);

    auto *downloadBar = pageItem<QProgressBar>(2, 2);
    auto *installBar = pageItem<QProgressBar>(2, 4);
    const int installBefore = installBar->value();

    m_window->reportDownloadProgress(3, fraction);
    QCOMPARE(downloadBar->value(), value);
    QCOMPARE(installBar->value(), installBefore);
}

void MainWindowTest::watchesTheBusFromTheStart()
{
    auto *monitor = m_window->findChild<DeviceMonitor *>();
    QVERIFY(monitor);
    QStringList connectedPaths;
    connect(monitor, &DeviceMonitor::connected, this,
            [&connectedPaths](const Connection &connection) { connectedPaths << connection.path; });
    HidSim::plug(HidSim::kProductOrviPlus, "sim-window", L"W1");

    QTRY_COMPARE_WITH_TIMEOUT(connectedPaths, QStringList{QStringLiteral("sim-window")}, 5000);
    HidSim::reset();
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
