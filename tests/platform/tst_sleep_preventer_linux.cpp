// The Linux sleep preventer against a private bus with a stand-in logind.

#include "platform/sleep_preventer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QtTest>

#include <memory>

#include "child_process.h"

using OrviPlus::SleepPreventer;

class TestSleepPreventerLinux : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void inhibitionIsTakenOnceAndReleased();
    void missingServiceFailsPromptlyAndRecovers();
    void errorAnswerChangesNothing();
    void unansweredCallTimesOut();

private:
    bool startStandIn(const char *mode);
    QVariant ask(const char *method);
    bool refusedWithin(int milliseconds);

    // Not under TMPDIR: a socket path must fit in 108 bytes.
    QTemporaryDir m_busFolder{QStringLiteral("/tmp/orvi-bus-XXXXXX")};
    ChildProcess m_bus;
    ChildProcess m_standIn;
    std::unique_ptr<SleepPreventer> m_preventer;
};

void TestSleepPreventerLinux::initTestCase()
{
    m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bus.start(QStringLiteral(DBUS_DAEMON_EXECUTABLE),
                {QStringLiteral("--config-file=" PRIVATE_SYSTEM_BUS_CONFIG), QStringLiteral("--nofork"),
                 QStringLiteral("--nopidfile"), QStringLiteral("--print-address"),
                 QStringLiteral("--address=unix:dir=") + m_busFolder.path()});
    const QByteArray address = m_bus.firstLine();
    QVERIFY2(address.startsWith("unix:"), "dbus-daemon did not report its address");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    QVERIFY(QDBusConnection::systemBus().isConnected());
}

void TestSleepPreventerLinux::init()
{
    m_standIn.stop();
    m_preventer.reset(SleepPreventer::make());
}

bool TestSleepPreventerLinux::startStandIn(const char *mode)
{
    m_standIn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_standIn.start(QStringLiteral(LOGIN1_STAND_IN_EXECUTABLE), {QString::fromLatin1(mode)});
    return m_standIn.firstLine() == "ready";
}

QVariant TestSleepPreventerLinux::ask(const char *method)
{
    const QDBusMessage reply = QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QString::fromLatin1(method)));
    return reply.arguments().value(0);
}

// Asks for prevention where it cannot be had: no answer may keep us waiting long.
bool TestSleepPreventerLinux::refusedWithin(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    m_preventer->setSleepPrevented(true);
    return timer.elapsed() < milliseconds && !m_preventer->isSleepPrevented();
}

void TestSleepPreventerLinux::inhibitionIsTakenOnceAndReleased()
{
    QVERIFY(startStandIn("grant"));
    m_preventer->setSleepPrevented(false);
    QCOMPARE(ask("Calls").toStringList().size(), 0);

    m_preventer->setSleepPrevented(true);
    m_preventer->setSleepPrevented(true);
    QVERIFY(m_preventer->isSleepPrevented());
    QCOMPARE(ask("Calls").toStringList(),
             QStringList{"idle:sleep|Orvi Updater|Brevanto Orvi Update in Progress|block"});
    // Held by our copy of the descriptor, not by one still in transit.
    QTest::qWait(200);
    QCOMPARE(ask("OpenInhibitors").toInt(), 1);

    m_preventer->setSleepPrevented(false);
    QVERIFY(!m_preventer->isSleepPrevented());
    QTRY_COMPARE(ask("OpenInhibitors").toInt(), 0);

    m_preventer->setSleepPrevented(true);
    QVERIFY(m_preventer->isSleepPrevented());
    QCOMPARE(ask("Calls").toStringList().size(), 2);
    QCOMPARE(ask("OpenInhibitors").toInt(), 1);
    m_preventer.reset();
    QTRY_COMPARE(ask("OpenInhibitors").toInt(), 0);
}

void TestSleepPreventerLinux::missingServiceFailsPromptlyAndRecovers()
{
    QVERIFY(refusedWithin(2000));

    // The failed attempt leaves nothing behind: the next one reaches the service.
    QVERIFY(startStandIn("grant"));
    m_preventer->setSleepPrevented(true);
    QVERIFY(m_preventer->isSleepPrevented());
    QCOMPARE(ask("OpenInhibitors").toInt(), 1);
}

void TestSleepPreventerLinux::errorAnswerChangesNothing()
{
    QVERIFY(startStandIn("refuse"));
    QVERIFY(refusedWithin(2000));
    QCOMPARE(ask("Calls").toStringList().size(), 1);
}

void TestSleepPreventerLinux::unansweredCallTimesOut()
{
    QVERIFY(startStandIn("silent"));
    QVERIFY(refusedWithin(6000));
}

QTEST_GUILESS_MAIN(TestSleepPreventerLinux)

#include "tst_sleep_preventer_linux.moc"
