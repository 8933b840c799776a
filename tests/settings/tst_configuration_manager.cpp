#include "settings/configuration_manager.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QtTest>

#include <memory>

using OrviPlus::ConfigurationManager;

namespace {

QStringList capturedMessages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedMessages << message;
}

// Builds a manager and returns the lines it logged while doing so.
std::unique_ptr<ConfigurationManager> makeManager(QStringList *logged)
{
    capturedMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    std::unique_ptr<ConfigurationManager> manager;
    try {
        manager = std::make_unique<ConfigurationManager>();
    } catch (...) {
        qInstallMessageHandler(previous);
        *logged = capturedMessages;
        throw;
    }
    qInstallMessageHandler(previous);
    *logged = capturedMessages;
    return manager;
}

std::unique_ptr<ConfigurationManager> makeManager()
{
    QStringList ignored;
    return makeManager(&ignored);
}

} // namespace

class TestConfigurationManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void storeLivesInThePrivateConfigFolder();
    void staleStoreIsCleared_data();
    void staleStoreIsCleared();
    void currentStoreIsKept_data();
    void currentStoreIsKept();

    void defaultManifestUrl();
    void manifestUrlIsStoredAndReset();
    void manifestUrlReachesTheDiskOnDestruction();

    void secondInstanceThrows();
    void instanceFollowsLifetime();
};

void TestConfigurationManager::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("Orvi Updater"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("brevanto.example"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brevanto"));
    QVERIFY2(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"),
             "refusing to run against the user's own settings");
}

void TestConfigurationManager::init()
{
    QSettings store;
    store.clear();
    store.sync();
    QCOMPARE(ConfigurationManager::m_instance, nullptr);
}

void TestConfigurationManager::storeLivesInThePrivateConfigFolder()
{
    const QString privateFolder =
        QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).canonicalPath() + QLatin1Char('/');
    const QString storeFile = QSettings().fileName();
    QFile::remove(storeFile);

    makeManager();
    const QString written = QFileInfo(storeFile).canonicalFilePath();
    QVERIFY2(!written.isEmpty(), qPrintable(storeFile + " was not written"));
    QVERIFY2(written.startsWith(privateFolder), qPrintable(written));
}

void TestConfigurationManager::staleStoreIsCleared_data()
{
    QTest::addColumn<QVariant>("storedVersion");
    QTest::addColumn<QString>("loggedVersion");

    QTest::newRow("version 0") << QVariant(0) << "0";
    QTest::newRow("no version") << QVariant() << "0";
    QTest::newRow("non-numeric version") << QVariant(QStringLiteral("one")) << "0";
    QTest::newRow("negative version") << QVariant(-3) << "-3";
}

void TestConfigurationManager::staleStoreIsCleared()
{
    QFETCH(QVariant, storedVersion);
    QFETCH(QString, loggedVersion);
    {
        QSettings store;
        if (storedVersion.isValid())
            store.setValue("version", storedVersion);
        store.setValue("update/manifest-url", QUrl(QStringLiteral("http://127.0.0.1:9/old.xml")));
        store.setValue("window/geometry", QByteArray("stale"));
    }

    QStringList logged;
    const auto manager = makeManager(&logged);
    QCOMPARE(logged, QStringList({QStringLiteral("Configuration manager: current version: 1"),
                                  "Configuration manager: existing version: " + loggedVersion}));

    QSettings store;
    QCOMPARE(store.allKeys(), QStringList{QStringLiteral("version")});
    QCOMPARE(store.value("version").toInt(), 1);
    QCOMPARE(manager->updateManifestUrl(), ConfigurationManager::defaultUpdateManifestUrl());
}

void TestConfigurationManager::currentStoreIsKept_data()
{
    QTest::addColumn<int>("storedVersion");
    QTest::newRow("version 1") << 1;
    QTest::newRow("later version") << 2;
}

void TestConfigurationManager::currentStoreIsKept()
{
    QFETCH(int, storedVersion);
    const QUrl stored(QStringLiteral("http://127.0.0.1:8080/manifest.xml"));
    {
        QSettings store;
        store.setValue("version", storedVersion);
        store.setValue("update/manifest-url", stored);
        store.setValue("window/geometry", QByteArray("kept"));
    }

    QStringList logged;
    const auto manager = makeManager(&logged);
    QCOMPARE(logged.value(1), QStringLiteral("Configuration manager: existing version: %1")
                                  .arg(storedVersion));
    QCOMPARE(manager->updateManifestUrl(), stored);

    QSettings store;
    QCOMPARE(store.value("window/geometry").toByteArray(), QByteArray("kept"));
    QCOMPARE(store.value("version").toInt(), 1);
}

void TestConfigurationManager::defaultManifestUrl()
{
    const QUrl url = ConfigurationManager::defaultUpdateManifestUrl();
    QVERIFY(url.isValid());
    QCOMPARE(url.scheme(), QStringLiteral("http"));
    QVERIFY(!url.host().isEmpty());
    QCOMPARE(url.path(), QStringLiteral("/brev-orvi-plus/op-manifest.xml"));

    const auto manager = makeManager();
    QCOMPARE(manager->updateManifestUrl(), url);
}

void TestConfigurationManager::manifestUrlIsStoredAndReset()
{
    const QUrl chosen(QStringLiteral("http://127.0.0.1:8080/test/manifest.xml"));
    {
        const auto manager = makeManager();
        manager->setUpdateManifestUrl(chosen);
        QCOMPARE(manager->updateManifestUrl(), chosen);
    }
    {
        // A later start finds the chosen URL again.
        const auto manager = makeManager();
        QCOMPARE(manager->updateManifestUrl(), chosen);

        manager->resetUpdateManifestUrl();
        QCOMPARE(manager->updateManifestUrl(), ConfigurationManager::defaultUpdateManifestUrl());
        QVERIFY(!QSettings().contains("update/manifest-url"));

        // Stored without validation; the caller decides what to do with it.
        const QUrl odd(QStringLiteral("not a url"));
        manager->setUpdateManifestUrl(odd);
        QCOMPARE(manager->updateManifestUrl(), odd);
    }
}

void TestConfigurationManager::manifestUrlReachesTheDiskOnDestruction()
{
    const QString storeFile = QSettings().fileName();
    {
        const auto manager = makeManager();
        manager->setUpdateManifestUrl(QUrl(QStringLiteral("http://127.0.0.1:8080/on-disk.xml")));
    }
    QFile file(storeFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray contents = file.readAll();
    QVERIFY2(contents.contains("manifest-url"), contents.constData());
    QVERIFY2(contents.contains("on-disk.xml"), contents.constData());
}

void TestConfigurationManager::secondInstanceThrows()
{
    const auto first = makeManager();
    first->setUpdateManifestUrl(QUrl(QStringLiteral("http://127.0.0.1:8080/first.xml")));

    QStringList logged;
    QVERIFY_EXCEPTION_THROWN(makeManager(&logged), ConfigurationManager::Error);
    QVERIFY2(logged.isEmpty(), qPrintable(logged.join('\n')));
    QCOMPARE(ConfigurationManager::m_instance, first.get());
    // The failed attempt must not have cleared or rewritten the store.
    QCOMPARE(first->updateManifestUrl(), QUrl(QStringLiteral("http://127.0.0.1:8080/first.xml")));
}

void TestConfigurationManager::instanceFollowsLifetime()
{
    QObject *owner = new QObject;
    auto *manager = new ConfigurationManager(owner);
    QCOMPARE(ConfigurationManager::m_instance, manager);

    delete owner;
    QCOMPARE(ConfigurationManager::m_instance, nullptr);

    // Once the first is gone another may be made.
    const auto next = makeManager();
    QCOMPARE(ConfigurationManager::m_instance, next.get());
}

QTEST_GUILESS_MAIN(TestConfigurationManager)

#include "tst_configuration_manager.moc"
