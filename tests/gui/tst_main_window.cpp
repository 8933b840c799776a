#include "device/device_monitor.h"
#include "gui/device_status_view.h"
#include "gui/main_window_updater.h"

#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QtTest>

#include <hid_sim.h>

using namespace OrviPlus;

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void opensOnTheConnectPage();
    void pagesHoldTheirControls();
    void logosAreCroppedAndScaled();
    void downloadBarTruncatesTheFraction_data();
    void downloadBarTruncatesTheFraction();
    void watchesTheBusFromTheStart();

private:
    QStackedWidget *pages() const { return m_window->findChild<QStackedWidget *>(); }
    QWidget *sidePanel() const { return m_window->findChild<QWidget *>(QStringLiteral("statusWidget")); }
    QImage sidePanelImage(int index) const
    {
        const auto *label = qobject_cast<QLabel *>(sidePanel()->layout()->itemAt(index)->widget());
        return label->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
    }
    template<typename T> T *onPage(int page, int index = 0) const
    {
        return pages()->widget(page)->findChildren<T *>().value(index);
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
    HidSim::reset();
}

void MainWindowTest::opensOnTheConnectPage()
{
    QCOMPARE(m_window->sizeHint(), QSize(750, 500));
    QCOMPARE(pages()->count(), 3);
    QCOMPARE(pages()->currentIndex(), 0);
    auto *connectLabel = qobject_cast<QLabel *>(pages()->widget(0));
    QVERIFY(connectLabel && connectLabel->isVisible());
    QCOMPARE(connectLabel->text(), QStringLiteral("Please connect a ORVI device."));

    auto *status = sidePanel()->findChild<DeviceStatusView *>(QStringLiteral("deviceInfo"));
    QVERIFY(status && status->isVisible());
    QCOMPARE(status->text(), QStringLiteral("No device connected"));
    // White on the black panel.
    QCOMPARE(status->findChild<QLabel *>()->palette().color(QPalette::WindowText), QColor(Qt::white));
    QCOMPARE(sidePanel()->grab().toImage().pixelColor(sidePanel()->width() / 2, sidePanel()->height() * 3 / 4),
             QColor(Qt::black));
    for (int logo : {0, 1})
        QVERIFY(sidePanel()->layout()->itemAt(logo)->widget()->isVisible());
}

void MainWindowTest::pagesHoldTheirControls()
{
    auto *checkButton = onPage<QPushButton>(1, 0);
    auto *startButton = onPage<QPushButton>(1, 1);
    QCOMPARE(checkButton->text(), QStringLiteral("Check for Latest Updates"));
    QCOMPARE(startButton->text(), QStringLiteral("Start Update"));
    QVERIFY(!startButton->isEnabled());

    QSignalSpy checkRequests(m_window, &MainWindow::checkUpdatesRequest);
    pages()->setCurrentIndex(1);
    QTest::mouseClick(checkButton, Qt::LeftButton);
    QTest::mouseClick(startButton, Qt::LeftButton);
    QCOMPARE(checkRequests.count(), 1);

    QCOMPARE(pages()->widget(2)->findChildren<QProgressBar *>().size(), 2);
    for (QProgressBar *bar : pages()->widget(2)->findChildren<QProgressBar *>()) {
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
    }
    auto *title = onPage<QLabel>(2);
    QCOMPARE(title->font().pointSize(), QLabel().font().pointSize() + 4);
    QCOMPARE(title->font().weight(), 75);
}

void MainWindowTest::logosAreCroppedAndScaled()
{
    const char *resources[] = {":/images/orvi_logo_orig.png", ":/images/orvi_logo_plus.png"};
    for (int i : {0, 1}) {
        // The band of the model name: 310 * 200 / 800 = 77.5, which Qt's scaling rounds up.
        const QImage shown = sidePanelImage(i);
        QCOMPARE(shown.size(), QSize(200, 78));
        const QImage band = QImage(QLatin1String(resources[i])).copy(100, 290, 800, 310);
        QCOMPARE(shown, band.scaledToWidth(200, Qt::SmoothTransformation).convertToFormat(shown.format()));
    }

    // The maker logo lies under a dark red veil: its transparent corner takes the veil's colour
    // and its light word mark keeps no more than the veil lets through.
    const QImage maker = sidePanelImage(4);
    const QImage original(QStringLiteral(":/images/brevanto_logo.png"));
    QCOMPARE(maker.width(), 100);
    QVERIFY(qAbs(maker.height() - original.height() * 100.0 / original.width()) < 1.0);
    QCOMPARE(qAlpha(original.pixel(0, 0)), 0);
    const QColor corner = maker.pixelColor(0, 0);
    QVERIFY2(qAbs(corner.red() - 15) <= 2 && corner.green() == 0 && qAbs(corner.alpha() - 150) <= 1,
             qPrintable(corner.name(QColor::HexArgb)));
    int brightest = 0;
    for (int y = 0; y < maker.height(); ++y)
        for (int x = 0; x < maker.width(); ++x)
            brightest = qMax(brightest, qGreen(maker.pixel(x, y)));
    QVERIFY2(brightest > 80 && brightest <= 106, qPrintable(QString::number(brightest)));
}

void MainWindowTest::downloadBarTruncatesTheFraction_data()
{
    QTest::addColumn<float>("fraction");
    QTest::addColumn<int>("value");
    QTest::newRow("start") << 0.0f << 0;
    QTest::newRow("half and a bit") << 0.505f << 50;
    QTest::newRow("almost done") << 0.999f << 99;
    QTest::newRow("done") << 1.0f << 100;
}

void MainWindowTest::downloadBarTruncatesTheFraction()
{
    QFETCH(float, fraction);
    QFETCH(int, value);
    const int installBefore = onPage<QProgressBar>(2, 1)->value();
    m_window->reportDownloadProgress(3, fraction);
    QCOMPARE(onPage<QProgressBar>(2, 0)->value(), value);
    QCOMPARE(onPage<QProgressBar>(2, 1)->value(), installBefore);
}

void MainWindowTest::watchesTheBusFromTheStart()
{
    QStringList connectedPaths;
    connect(m_window->findChild<DeviceMonitor *>(), &DeviceMonitor::connected, this,
            [&connectedPaths](const Connection &connection) { connectedPaths << connection.path; });
    HidSim::plug(HidSim::kProductOrviPlus, "sim-window", L"W1");
    QTRY_COMPARE_WITH_TIMEOUT(connectedPaths, QStringList{QStringLiteral("sim-window")}, 5000);
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
