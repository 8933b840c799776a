#include "device/device_info.h"
#include "gui/application_setup.h"

#include <QApplication>
#include <QIcon>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

using namespace OrviPlus;

namespace {

// Stands in for the device agent's worker: reports a device from its own thread.
class InfoReporter : public QObject
{
    Q_OBJECT
signals:
    void ready(OrviPlus::DeviceInfo info);
};

class InfoReceiver : public QObject
{
    Q_OBJECT
public slots:
    void take(OrviPlus::DeviceInfo info)
    {
        received << info.model << info.auxWord << info.mcuVersion.stage << info.mcuVersion.major
                 << info.mcuVersion.minor << info.dspVersion.stage << info.dspVersion.major
                 << info.dspVersion.minor << info.stylesVersion << info.ensembleVersion;
        receivedIn = QThread::currentThread();
    }

public:
    QVector<qint64> received;
    QThread *receivedIn = nullptr;
};

} // namespace

class ApplicationSetupTest : public QObject
{
    Q_OBJECT

private slots:
    void everyMessageIsOneBareLineOnStandardOutput();
    void identityAndLockPath();
    void deviceInfoCrossesThreadsIntact();
};

void ApplicationSetupTest::everyMessageIsOneBareLineOnStandardOutput()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    std::fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    const QtMessageHandler previous = qInstallMessageHandler(writeMessageToConsole);
    qDebug() << "DeviceAgent: ready.";
    qInfo("info %d", 1);
    qWarning().noquote() << "Size:" << QStringLiteral("Gr\u00f6\u00dfe");
    qCritical() << "UpdateManager: Busy." << QStringLiteral("quoted");
    qDebug() << "";
    qInstallMessageHandler(previous);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);

    QVERIFY(file.seek(0));
    QCOMPARE(file.readAll(), "DeviceAgent: ready.\ninfo 1\n" + QStringLiteral("Size: Gr\u00f6\u00dfe\n").toLocal8Bit()
                                 + "UpdateManager: Busy. \"quoted\"\n\n");
}

void ApplicationSetupTest::identityAndLockPath()
{
    setApplicationIdentity();
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Orvi Updater"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Brevanto"));
    QVERIFY(!QCoreApplication::organizationDomain().isEmpty());
    QCOMPARE(QApplication::windowIcon().pixmap(256, 256).size(), QSize(256, 256));
    // The test runs with a private TMPDIR, so this also checks that it is honoured.
    QCOMPARE(singleInstanceLockPath(),
             qEnvironmentVariable("TMPDIR") + QStringLiteral("/brevanto_orvi_updater_single_instance_lock"));
}

// Connected by name: a queued call then finds the argument's type by its registered name.
void ApplicationSetupTest::deviceInfoCrossesThreadsIntact()
{
    registerMetaTypes();
    QVERIFY(QMetaType::type("OrviPlus::DeviceInfo") != QMetaType::UnknownType);
    QThread thread;
    InfoReporter reporter;
    reporter.moveToThread(&thread);
    InfoReceiver receiver;
    QVERIFY(connect(&reporter, SIGNAL(ready(OrviPlus::DeviceInfo)), &receiver, SLOT(take(OrviPlus::DeviceInfo)),
                    Qt::QueuedConnection));
    thread.start();
    QMetaObject::invokeMethod(&reporter, [&reporter] {
        emit reporter.ready({1, 0xBEEF, {3, 15, 1}, {2, 7, 14}, 0xFFFE, 0xFEDCBA98});
    });
    QTRY_VERIFY(!receiver.received.isEmpty());
    thread.quit();
    QVERIFY(thread.wait(5000));
    QCOMPARE(receiver.receivedIn, QThread::currentThread());
    QCOMPARE(receiver.received, (QVector<qint64>{1, 0xBEEF, 3, 15, 1, 2, 7, 14, 0xFFFE, 0xFEDCBA98}));
}

QTEST_MAIN(ApplicationSetupTest)
#include "tst_application_setup.moc"
