#include "device/device_info.h"
#include "gui/application_setup.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QTemporaryFile>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

using namespace OrviPlus;

namespace {

// Stands in for the device agent's worker: reports a device from its own thread.
class InfoReporter : public QObject
{
    Q_OBJECT

public:
    void report(const DeviceInfo &info) { emit ready(info); }

signals:
    void ready(OrviPlus::DeviceInfo info);
};

class InfoReceiver : public QObject
{
    Q_OBJECT

public slots:
    void take(OrviPlus::DeviceInfo info)
    {
        received = info;
        receivedIn = QThread::currentThread();
        arrived = true;
    }

public:
    bool arrived = false;
    DeviceInfo received;
    QThread *receivedIn = nullptr;
};

// Sends everything written to standard output into a file until destroyed.
class CapturedStdout
{
public:
    explicit CapturedStdout(QTemporaryFile &file)
    {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        dup2(file.handle(), STDOUT_FILENO);
    }
    ~CapturedStdout()
    {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }

private:
    int m_saved = -1;
};

} // namespace

class ApplicationSetupTest : public QObject
{
    Q_OBJECT

private slots:
    void everyMessageIsOneBareLineOnStandardOutput();
    void identityAndIconAreSet();
    void lockFileLivesInTheTemporaryFolder();
    void deviceInfoCrossesThreadsIntact();
};

void ApplicationSetupTest::everyMessageIsOneBareLineOnStandardOutput()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    {
        CapturedStdout capture(file);
        const QtMessageHandler previous = qInstallMessageHandler(writeMessageToConsole);
        qDebug() << "DeviceAgent: ready.";
        qInfo("info %d", 1);
        qWarning().noquote() << "Size:" << QStringLiteral("Gr\u00f6\u00dfe");
        qCritical() << "UpdateManager: Busy." << QStringLiteral("quoted");
        qDebug() << "";
        qInstallMessageHandler(previous);
    }

    QByteArray expected;
    expected += "DeviceAgent: ready.\n";
    expected += "info 1\n";
    expected += QStringLiteral("Size: Gr\u00f6\u00dfe\n").toLocal8Bit();
    expected += "UpdateManager: Busy. \"quoted\"\n";
    expected += "\n";
    QVERIFY(file.seek(0));
    QCOMPARE(file.readAll(), expected);
}

void ApplicationSetupTest::identityAndIconAreSet()
{
    setApplicationIdentity();
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Orvi Updater"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Brevanto"));
    QCOMPARE(QCoreApplication::organizationDomain(), QStringLiteral("brevanto.example"));

    const QIcon icon = QApplication::windowIcon();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(256, 256)));
    QCOMPARE(icon.pixmap(256, 256).size(), QSize(256, 256));

    // The window's pictures are there too.
    for (const char *name : {"orvi_logo_orig.png", "orvi_logo_plus.png", "brevanto_logo.png"})
        QVERIFY2(!QImage(QStringLiteral(":/images/") + QLatin1String(name)).isNull(), name);
}

void ApplicationSetupTest::lockFileLivesInTheTemporaryFolder()
{
    // The test runs with a private TMPDIR, so this also checks that it is honoured.
    QVERIFY(qEnvironmentVariableIsSet("TMPDIR"));
    QCOMPARE(QDir(QDir::tempPath()).canonicalPath(), QDir(qEnvironmentVariable("TMPDIR")).canonicalPath());
    QCOMPARE(singleInstanceLockPath(),
             QDir::tempPath() + QStringLiteral("/brevanto_orvi_updater_single_instance_lock"));
}

void ApplicationSetupTest::deviceInfoCrossesThreadsIntact()
{
    registerMetaTypes();
    QCOMPARE(QMetaType::type("OrviPlus::DeviceInfo"), qMetaTypeId<DeviceInfo>());

    QThread thread;
    InfoReporter reporter;
    reporter.moveToThread(&thread);

    // Connected by name: a queued call then finds the argument's type by its registered name.
    InfoReceiver receiver;
    QVERIFY(connect(&reporter, SIGNAL(ready(OrviPlus::DeviceInfo)), &receiver, SLOT(take(OrviPlus::DeviceInfo)),
                    Qt::QueuedConnection));

    thread.start();
    QMetaObject::invokeMethod(&reporter, [&reporter] {
        DeviceInfo info;
        info.model = 1;
        info.auxWord = 0xBEEF;
        info.mcuVersion = {3, 15, 1};
        info.dspVersion = {2, 7, 14};
        info.stylesVersion = 0xFFFE;
        info.ensembleVersion = 0xFEDCBA98;
        reporter.report(info);
    });
    QTRY_VERIFY(receiver.arrived);
    thread.quit();
    QVERIFY(thread.wait(5000));

    const DeviceInfo &received = receiver.received;
    QCOMPARE(receiver.receivedIn, QThread::currentThread());
    QCOMPARE(received.model, 1);
    QCOMPARE(received.auxWord, 0xBEEF);
    QCOMPARE(received.mcuVersion.stage, 3);
    QCOMPARE(received.mcuVersion.major, 15);
    QCOMPARE(received.mcuVersion.minor, 1);
    QCOMPARE(received.dspVersion.stage, 2);
    QCOMPARE(received.dspVersion.major, 7);
    QCOMPARE(received.dspVersion.minor, 14);
    QCOMPARE(received.stylesVersion, uint16_t(0xFFFE));
    QCOMPARE(received.ensembleVersion, uint32_t(0xFEDCBA98));
}

QTEST_MAIN(ApplicationSetupTest)
#include "tst_application_setup.moc"
