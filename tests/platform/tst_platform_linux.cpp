// The Linux platform services against a private bus, serving as both system and session bus,
// with a stand-in logind and no notification service.

#include "platform/desktop_notifier.h"
#include "platform/sleep_preventer.h"

#include <QtTest>

#include <memory>
#include <utility>

#include "message_log.h"
#include "platform/private_bus.h"

using OrviPlus::SleepPreventer;

class TestPlatformLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_bus.serveAs("DBUS_SYSTEM_BUS_ADDRESS") && m_bus.serveAs("DBUS_SESSION_BUS_ADDRESS"),
                 "dbus-daemon did not start");
    }

    void init()
    {
        m_standIn.stop();
        m_preventer.reset(SleepPreventer::make());
    }

    void failureIsPromptThenTheInhibitionIsTakenOnceAndReleased()
    {
        // How logind answers the first attempt, if it is there at all, and the milliseconds the window may wait.
        const std::pair<QString, int> cases[] = {{QString(), 2000}, {"refuse", 2000}, {"silent", 6000}};
        for (const auto &[standIn, limit] : cases) {
            init();
            QVERIFY(standIn.isEmpty() || m_standIn.start(standIn));
            QElapsedTimer timer;
            timer.start();
            m_preventer->setSleepPrevented(true);
            QVERIFY2(timer.elapsed() < limit, qPrintable(standIn));
            QVERIFY(!m_preventer->isSleepPrevented());
            QVERIFY(standIn.isEmpty() || m_standIn.ask("Calls").toStringList().size() == 1);

            // The next attempt reaches a service that grants it, once.
            QVERIFY(m_standIn.start("grant"));
            m_preventer->setSleepPrevented(true);
            m_preventer->setSleepPrevented(true);
            QCOMPARE(m_standIn.ask("Calls").toStringList(),
                     QStringList{"sleep:idle:handle-lid-switch:shutdown|Orvi Updater|Brevanto Orvi Update in Progress|block"});
            // Held by our copy of the descriptor, not by one still in transit.
            QTest::qWait(200);
            QCOMPARE(m_standIn.ask("OpenInhibitors").toInt(), 1);
            m_preventer->setSleepPrevented(false);
            QTRY_COMPARE(m_standIn.ask("OpenInhibitors").toInt(), 0);

            // The next update takes it again; deleting the preventer lets go as well.
            m_preventer->setSleepPrevented(true);
            QCOMPARE(m_standIn.ask("OpenInhibitors").toInt(), 1);
            m_preventer.reset();
            QTRY_COMPARE(m_standIn.ask("OpenInhibitors").toInt(), 0);
        }
    }

    // What reaches the service is checked with the window; without one, nothing fails.
    void notificationWithoutServiceIsDroppedQuietly()
    {
        OrviPlus::DesktopNotifier notifier(QStringLiteral("example.icon"));
        MessageLog log;
        notifier.notify(QStringLiteral("Update finished"), QStringLiteral("All components were installed on the Orvi+."));
        QTRY_COMPARE(log.lines().size(), 1);
        QVERIFY2(log.lines()[0].startsWith("DesktopNotifier: not shown: "), qPrintable(log.lines()[0]));
    }

private:
    PrivateBus m_bus;
    ServiceStandIn m_standIn;
    std::unique_ptr<SleepPreventer> m_preventer;
};

QTEST_GUILESS_MAIN(TestPlatformLinux)
#include "tst_platform_linux.moc"
