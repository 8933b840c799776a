// The Linux sleep preventer against a private bus with a stand-in logind.

#include "platform/sleep_preventer.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <signal.h>
#include <sys/prctl.h>

using OrviPlus::SleepPreventer;

namespace {

// A helper process that goes away with the test even if the test crashes.
class ChildProcess : public QProcess
{
public:
    ~ChildProcess() override { stop(); }

    void stop()
    {
        if (state() == QProcess::NotRunning)
            return;
        terminate();
        if (!waitForFinished(3000)) {
            kill();
            waitForFinished(3000);
        }
    }

protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

bool readLine(QProcess &process, QByteArray *line)
{
    QElapsedTimer timer;
    timer.start();
    while (!process.canReadLine()) {
        if (timer.hasExpired(10000) || !process.waitForReadyRead(1000)) {
            if (process.state() == QProcess::NotRunning || timer.hasExpired(10000))
                return false;
        }
    }
    *line = process.readLine().trimmed();
    return true;
}

} // namespace

class TestSleepPreventerLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void inhibitionIsHeldUntilReleased();
    void askingTwiceTakesOneInhibition();
    void releasingWhenNotHeldCallsNothing();
    void destructionReleasesTheInhibition();
    void missingServiceFailsPromptlyAndRecovers();
    void refusedInhibitionChangesNothing();
    void unansweredCallTimesOut();

private:
    bool startStandIn(const char *mode);
    int probeInt(const char *method);
    QStringList lastArguments();

    // Not under TMPDIR: a socket path must fit in 108 bytes.
    QTemporaryDir m_busFolder{QStringLiteral("/tmp/orvi-bus-XXXXXX")};
    ChildProcess m_bus;
    ChildProcess m_standIn;
};

void TestSleepPreventerLinux::initTestCase()
{
    QVERIFY(m_busFolder.isValid());
    m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bus.start(QStringLiteral(DBUS_DAEMON_EXECUTABLE),
                {QStringLiteral("--config-file=" PRIVATE_SYSTEM_BUS_CONFIG),
                 QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                 QStringLiteral("--print-address"),
                 QStringLiteral("--address=unix:dir=") + m_busFolder.path()});
    QByteArray address;
    QVERIFY2(readLine(m_bus, &address), "dbus-daemon did not report its address");
    QVERIFY(address.startsWith("unix:"));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    QVERIFY(QDBusConnection::systemBus().isConnected());
}

void TestSleepPreventerLinux::cleanup()
{
    m_standIn.stop();
}

void TestSleepPreventerLinux::cleanupTestCase()
{
    m_standIn.stop();
    m_bus.stop();
}

bool TestSleepPreventerLinux::startStandIn(const char *mode)
{
    m_standIn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_standIn.start(QStringLiteral(LOGIN1_STAND_IN_EXECUTABLE), {QString::fromLatin1(mode)});
    QByteArray line;
    return readLine(m_standIn, &line) && line == "ready";
}

int TestSleepPreventerLinux::probeInt(const char *method)
{
    QDBusInterface probe(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/probe"),
                         QStringLiteral("org.orvi.test.Login1Probe"),
                         QDBusConnection::systemBus());
    const QDBusReply<int> reply = probe.call(QString::fromLatin1(method));
    return reply.isValid() ? reply.value() : -1;
}

QStringList TestSleepPreventerLinux::lastArguments()
{
    QDBusInterface probe(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/probe"),
                         QStringLiteral("org.orvi.test.Login1Probe"),
                         QDBusConnection::systemBus());
    const QDBusReply<QStringList> reply = probe.call(QStringLiteral("LastArguments"));
    return reply.value();
}

void TestSleepPreventerLinux::inhibitionIsHeldUntilReleased()
{
    QVERIFY(startStandIn("grant"));
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());
    QVERIFY(!preventer->isSleepPrevented());

    preventer->setSleepPrevented(true);
    QVERIFY(preventer->isSleepPrevented());
    QCOMPARE(probeInt("InhibitCalls"), 1);
    QCOMPARE(lastArguments(),
             QStringList({"idle:sleep", "Orvi Updater", "Brevanto Orvi Update in Progress",
                          "block"}));
    // Held by our copy of the descriptor, not by one still in transit.
    QTest::qWait(200);
    QCOMPARE(probeInt("OpenInhibitors"), 1);

    preventer->setSleepPrevented(false);
    QVERIFY(!preventer->isSleepPrevented());
    QTRY_COMPARE(probeInt("OpenInhibitors"), 0);
    QCOMPARE(probeInt("InhibitCalls"), 1);
}

void TestSleepPreventerLinux::askingTwiceTakesOneInhibition()
{
    QVERIFY(startStandIn("grant"));
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());

    preventer->setSleepPrevented(true);
    preventer->setSleepPrevented(true);
    QVERIFY(preventer->isSleepPrevented());
    QCOMPARE(probeInt("InhibitCalls"), 1);
    QCOMPARE(probeInt("OpenInhibitors"), 1);

    // One release undoes it, and prevention can be taken again afterwards.
    preventer->setSleepPrevented(false);
    QTRY_COMPARE(probeInt("OpenInhibitors"), 0);
    preventer->setSleepPrevented(true);
    QVERIFY(preventer->isSleepPrevented());
    QCOMPARE(probeInt("InhibitCalls"), 2);
    QCOMPARE(probeInt("OpenInhibitors"), 1);
}

void TestSleepPreventerLinux::releasingWhenNotHeldCallsNothing()
{
    QVERIFY(startStandIn("grant"));
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());

    preventer->setSleepPrevented(false);
    QVERIFY(!preventer->isSleepPrevented());
    QCOMPARE(probeInt("InhibitCalls"), 0);
}

void TestSleepPreventerLinux::destructionReleasesTheInhibition()
{
    QVERIFY(startStandIn("grant"));
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());
    preventer->setSleepPrevented(true);
    QCOMPARE(probeInt("OpenInhibitors"), 1);

    preventer.reset();
    QTRY_COMPARE(probeInt("OpenInhibitors"), 0);
}

void TestSleepPreventerLinux::missingServiceFailsPromptlyAndRecovers()
{
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());

    QElapsedTimer timer;
    timer.start();
    preventer->setSleepPrevented(true);
    QVERIFY2(timer.elapsed() < 2000, "waited for a service that does not exist");
    QVERIFY(!preventer->isSleepPrevented());

    // A failed attempt leaves nothing behind: the next one reaches the service.
    QVERIFY(startStandIn("grant"));
    preventer->setSleepPrevented(true);
    QVERIFY(preventer->isSleepPrevented());
    QCOMPARE(probeInt("InhibitCalls"), 1);
    QCOMPARE(probeInt("OpenInhibitors"), 1);
}

void TestSleepPreventerLinux::refusedInhibitionChangesNothing()
{
    QVERIFY(startStandIn("refuse"));
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());

    preventer->setSleepPrevented(true);
    QVERIFY(!preventer->isSleepPrevented());
    preventer->setSleepPrevented(true);
    QVERIFY(!preventer->isSleepPrevented());
    QCOMPARE(probeInt("InhibitCalls"), 2);
    QCOMPARE(probeInt("OpenInhibitors"), 0);
}

void TestSleepPreventerLinux::unansweredCallTimesOut()
{
    QVERIFY(startStandIn("silent"));
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());

    QElapsedTimer timer;
    timer.start();
    preventer->setSleepPrevented(true);
    QVERIFY2(timer.elapsed() < 6000, "blocked on logind for too long");
    QVERIFY(!preventer->isSleepPrevented());
    QCOMPARE(probeInt("InhibitCalls"), 1);
}

QTEST_GUILESS_MAIN(TestSleepPreventerLinux)

#include "tst_sleep_preventer_linux.moc"
