// The sleep preventer on a computer without a reachable system bus.

#include "platform/sleep_preventer.h"

#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QtTest>

#include <memory>

using OrviPlus::SleepPreventer;

class TestSleepPreventerNoBus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void preventionFailsPromptly();

private:
    // Not under TMPDIR: a socket path must fit in 108 bytes.
    QTemporaryDir m_folder{QStringLiteral("/tmp/orvi-no-bus-XXXXXX")};
};

void TestSleepPreventerNoBus::initTestCase()
{
    QVERIFY(m_folder.isValid());
    const QString absentSocket = m_folder.filePath(QStringLiteral("system_bus_socket"));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + absentSocket.toLocal8Bit());
}

void TestSleepPreventerNoBus::preventionFailsPromptly()
{
    std::unique_ptr<SleepPreventer> preventer(SleepPreventer::make());
    QVERIFY(!preventer->isSleepPrevented());

    QElapsedTimer timer;
    timer.start();
    preventer->setSleepPrevented(true);
    preventer->setSleepPrevented(true);
    QVERIFY2(timer.elapsed() < 2000, "waited for a system bus that is not there");
    QVERIFY(!preventer->isSleepPrevented());

    preventer->setSleepPrevented(false);
    QVERIFY(!preventer->isSleepPrevented());
}

QTEST_GUILESS_MAIN(TestSleepPreventerNoBus)

#include "tst_sleep_preventer_no_bus.moc"
