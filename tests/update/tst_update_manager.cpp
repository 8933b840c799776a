#include "update/update_manager.h"

#include "settings/configuration_manager.h"
#include "update/working_folder.h"

#include "http_test_server.h"
#include "message_recorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace OrviPlus;

namespace {

const int InactivityTimeoutMsecs = 1000;
const int OutcomeTimeoutMsecs = 15000;

const QString SizeReplyError = QStringLiteral("Component size reply ERROR:");
const QString SizeReplyAborted = QStringLiteral("Component size reply aborted:");

struct ManagerSpies
{
    explicit ManagerSpies(UpdateManager *manager)
        : done(manager, &UpdateManager::updateDiscoveryDone)
        , failure(manager, &UpdateManager::failure)
    {
    }

    int outcomes() const { return done.count() + failure.count(); }

    QSignalSpy done;
    QSignalSpy failure;
};

int componentCount(const ComponentMap &map)
{
    int count = 0;
    for (const QVector<Component> &list : map)
        count += list.size();
    return count;
}

QString manifestPath()
{
    return workingFolderPath() + QStringLiteral("/update-manifest.xml");
}

} // namespace

class TestUpdateManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void sizesEveryComponentOfEveryProduct();
    void busyManagerRefusesAnotherCheck();
    void manifestWithoutComponentsIsDoneWhileIdle();
    void oneSizeErrorAbortsTheOthers();
    void sizeQueryFailures_data();
    void sizeQueryFailures();
    void sizesFollowRedirectsAndMissingLengths();
    void failedManifestDownloadLogsNothingOfItsOwn_data();
    void failedManifestDownloadLogsNothingOfItsOwn();
    void unusableManifestFails_data();
    void unusableManifestFails();
    void lastCheckSurvivesLaterFailures();
    void unsafeWorkingFolderFailsTheCheck();

private:
    // Component element whose URL is `path` on the test server.
    QByteArray component(const char *name, const QString &path) const;
    QByteArray manifestWith(const QByteArray &products) const;
    void serveManifest(const QByteArray &xml, const QString &query = QString());
    bool waitForOutcome(const ManagerSpies &spies);
    QStringList headRequests();

    QTemporaryDir m_serverRoot;
    std::unique_ptr<HttpTestServer> m_server;
    std::unique_ptr<ConfigurationManager> m_configuration;
    QMap<QString, int> m_fileSizes;
};

void TestUpdateManager::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Brevanto"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvi Updater Tests"));
    m_configuration = std::make_unique<ConfigurationManager>();
    DownloadAgent::setTransferTimeoutForTesting(InactivityTimeoutMsecs);

    QVERIFY(m_serverRoot.isValid());
    for (int i = 0; i < 12; ++i) {
        const QString name = QStringLiteral("c%1.bin").arg(i);
        const int size = 1000 * (i + 1) + i;
        QFile file(m_serverRoot.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(QByteArray(size, char('a' + i))), qint64(size));
        m_fileSizes.insert(name, size);
    }
    m_server = std::make_unique<HttpTestServer>(m_serverRoot.path());
    QVERIFY(m_server->start());
}

void TestUpdateManager::cleanupTestCase()
{
    m_server.reset();
    m_configuration.reset();
}

void TestUpdateManager::init()
{
    m_server->clearRequests();
    QDir(QDir::tempPath() + QStringLiteral("/Brevanto")).removeRecursively();
}

QByteArray TestUpdateManager::component(const char *name, const QString &path) const
{
    return QByteArray("<Component Name=\"") + name
            + "\" Version=\"1.0.0\" ReleaseDate=\"2017-05-12\" URL=\""
            + m_server->url(path).toEncoded().replace("&", "&amp;") + "\"/>";
}

QByteArray TestUpdateManager::manifestWith(const QByteArray &products) const
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Family Name=\"ORVI\">" + products
            + "</Family>\n";
}

void TestUpdateManager::serveManifest(const QByteArray &xml, const QString &query)
{
    QFile file(m_serverRoot.filePath(QStringLiteral("manifest.xml")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(xml);
    file.close();
    m_configuration->setUpdateManifestUrl(m_server->url(QStringLiteral("/manifest.xml") + query));
}

bool TestUpdateManager::waitForOutcome(const ManagerSpies &spies)
{
    if (!QTest::qWaitFor([&] { return spies.outcomes() > 0; }, OutcomeTimeoutMsecs))
        return false;
    // A second outcome, if any, would follow at once.
    QTest::qWait(50);
    return spies.outcomes() == 1;
}

QStringList TestUpdateManager::headRequests()
{
    QStringList heads = m_server->requests().filter(QRegularExpression(QStringLiteral("^HEAD ")));
    heads.sort();
    return heads;
}

void TestUpdateManager::sizesEveryComponentOfEveryProduct()
{
    const QByteArray manifest = manifestWith(
            "<Product Name=\"ORVI\"><Components>" + component("MP", "/c0.bin")
            + component("DSP", "/c1.bin") + component("Ensemble", "/c2.bin")
            + "</Components></Product><Product Name=\"ORVI+\"><Components>"
            + component("MP", "/c3.bin") + component("DSP", "/c4.bin")
            + component("Styles", "/c5.bin") + component("Ensemble", "/c6.bin")
            + "</Components></Product><Product Name=\"Orvi Updater\"><Components>"
            + component("Mac", "/c7.bin") + component("Win", "/c8.bin")
            + "</Components></Product><Product Name=\"Orvi Manager\"><Components>"
            + component("Win", "/c9.bin") + component("Mac", "/c10.bin")
            + "</Components></Product>");
    serveManifest(manifest);

    MessageRecorder recorder;
    UpdateManager manager;
    QVERIFY(!manager.lastCheck().isValid());
    ManagerSpies spies(&manager);
    manager.check();
    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.done.count(), 1);

    QStringList expectedHeads;
    for (int i = 0; i <= 10; ++i)
        expectedHeads.append(QStringLiteral("HEAD /c%1.bin").arg(i));
    expectedHeads.sort();
    QCOMPARE(headRequests(), expectedHeads);
    QCOMPARE(m_server->requests().count(QStringLiteral("GET /manifest.xml")), 1);

    const ComponentMap &components = manager.components();
    QCOMPARE(componentCount(components), 11);
    const QList<QPair<ManifestProduct, QStringList>> expected = {
        {DeviceOrvi, {"/c0.bin", "/c1.bin", "/c2.bin"}},
        {DeviceOrviPlus, {"/c3.bin", "/c4.bin", "/c5.bin", "/c6.bin"}},
        {UpdaterApp, {"/c7.bin", "/c8.bin"}},
        {ManagerApp, {"/c9.bin", "/c10.bin"}},
    };
    for (const auto &product : expected) {
        const QVector<Component> list = components.value(product.first);
        QCOMPARE(list.size(), product.second.size());
        for (int i = 0; i < list.size(); ++i) {
            QCOMPARE(list[i].url.path(), product.second[i]);
            QCOMPARE(list[i].size, uint64_t(m_fileSizes.value(product.second[i].mid(1))));
        }
    }

    QCOMPARE(recorder.messagesStartingWith(QStringLiteral("Requesting component size for url:")).size(), 11);
    QCOMPARE(recorder.messagesStartingWith(QStringLiteral("Size for component: ")).size(), 11);
    QCOMPARE(recorder.count(QStringLiteral("Size for component:  \"Styles\" = 6005")), 1);
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Starting download to: \"%1\"").arg(manifestPath())), 1);
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Manifest file opened.")), 1);
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Manifest parsed.")), 1);

    // The manifest stays in the working folder; the check is dated by it.
    QFile kept(manifestPath());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), manifest);
    QCOMPARE(manager.lastCheck(), QFileInfo(manifestPath()).lastModified());
}

void TestUpdateManager::busyManagerRefusesAnotherCheck()
{
    serveManifest(manifestWith("<Product Name=\"ORVI+\"><Components>"
                               + component("MP", "/c0.bin?delay=300")
                               + component("DSP", "/c1.bin?delay=300") + "</Components></Product>"),
                  QStringLiteral("?delay=300"));
    MessageRecorder recorder;
    UpdateManager manager;
    ManagerSpies spies(&manager);

    manager.check();
    manager.check(); // while the manifest downloads
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Busy.")), 1);
    QTRY_VERIFY_WITH_TIMEOUT(
            !recorder.messagesStartingWith(QStringLiteral("Requesting component size")).isEmpty(),
            OutcomeTimeoutMsecs);
    manager.check(); // while the sizes are asked
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Busy.")), 2);

    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.done.count(), 1);
    QCOMPARE(m_server->requests().count(QStringLiteral("GET /manifest.xml?delay=300")), 1);
    QCOMPARE(headRequests().size(), 2);
    QCOMPARE(componentCount(manager.components()), 2);

    // A new check starts from an empty result.
    manager.check();
    QVERIFY(manager.components().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(spies.done.count(), 2, OutcomeTimeoutMsecs);
    QCOMPARE(spies.failure.count(), 0);
}

void TestUpdateManager::manifestWithoutComponentsIsDoneWhileIdle()
{
    serveManifest(manifestWith("<Product Name=\"ORVI \"><Components>" + component("MP", "/c0.bin")
                               + "</Components></Product>"));
    MessageRecorder recorder;
    UpdateManager manager;
    ManagerSpies spies(&manager);
    int busyWhenDone = -1;
    connect(&manager, &UpdateManager::updateDiscoveryDone, this, [&] {
        if (spies.done.count() > 1)
            return;
        manager.check();
        busyWhenDone = recorder.count(QStringLiteral("UpdateManager: Busy."));
    });

    manager.check();
    QTRY_COMPARE_WITH_TIMEOUT(spies.done.count(), 2, OutcomeTimeoutMsecs);
    QCOMPARE(busyWhenDone, 0);
    QCOMPARE(spies.failure.count(), 0);
    QVERIFY(manager.components().isEmpty());
    QVERIFY(manager.lastCheck().isValid());
    QVERIFY(headRequests().isEmpty());
    QCOMPARE(m_server->requests().count(QStringLiteral("GET /manifest.xml")), 2);
}

void TestUpdateManager::oneSizeErrorAbortsTheOthers()
{
    serveManifest(manifestWith("<Product Name=\"ORVI+\"><Components>"
                               + component("MP", "/c0.bin?delay=3000")
                               + component("DSP", "/c1.bin?status=404")
                               + component("Styles", "/c2.bin?delay=3000")
                               + "</Components></Product><Product Name=\"Orvi Updater\"><Components>"
                               + component("Mac", "/c3.bin?delay=3000")
                               + "</Components></Product>"));
    MessageRecorder recorder;
    UpdateManager manager;
    ManagerSpies spies(&manager);
    manager.check();
    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.failure.count(), 1);

    const QStringList errors = recorder.messagesStartingWith(SizeReplyError);
    QCOMPARE(errors.size(), 1);
    QVERIFY(errors.first().contains(QStringLiteral("c1.bin?status=404")));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.messagesStartingWith(SizeReplyAborted).size(), 3, 2000);
    QVERIFY(manager.components().isEmpty());
    QVERIFY(recorder.messagesStartingWith(QStringLiteral("Size for component")).isEmpty());

    // The next check is not held up by the aborted queries.
    serveManifest(manifestWith("<Product Name=\"ORVI+\"><Components>" + component("MP", "/c4.bin")
                               + "</Components></Product>"));
    manager.check();
    QTRY_COMPARE_WITH_TIMEOUT(spies.done.count(), 1, OutcomeTimeoutMsecs);
    QCOMPARE(manager.components().value(DeviceOrviPlus).value(0).size, uint64_t(5004));
    QCOMPARE(spies.failure.count(), 1);
}

void TestUpdateManager::sizeQueryFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing file") << "/absent.bin";
    QTest::newRow("server error") << "/c0.bin?status=500";
    QTest::newRow("redirect not followed") << "/c0.bin?status=304";
    QTest::newRow("no answer") << "/c0.bin?hang=1";
}

void TestUpdateManager::sizeQueryFailures()
{
    QFETCH(QString, path);
    serveManifest(manifestWith("<Product Name=\"ORVI\"><Components>" + component("DSP", path)
                               + "</Components></Product>"));
    MessageRecorder recorder;
    UpdateManager manager;
    ManagerSpies spies(&manager);
    manager.check();
    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.failure.count(), 1);
    QCOMPARE(recorder.messagesStartingWith(SizeReplyError).size(), 1);
    QVERIFY(manager.components().isEmpty());
}

void TestUpdateManager::sizesFollowRedirectsAndMissingLengths()
{
    QTemporaryDir otherRoot;
    QVERIFY(otherRoot.isValid());
    QVERIFY(QFile::copy(m_serverRoot.filePath("c5.bin"), otherRoot.filePath("moved.bin")));
    HttpTestServer other(otherRoot.path());
    QVERIFY(other.start());
    const QString elsewhere = other.url(QStringLiteral("/moved.bin")).toString();

    serveManifest(manifestWith("<Product Name=\"ORVI+\"><Components>"
                               + component("MP", "/c0.bin?nolength=1")
                               + component("DSP", "/old?redirect=/c1.bin")
                               + component("Styles", "/old?redirect=" + QUrl::toPercentEncoding(elsewhere))
                               + "</Components></Product>"));
    UpdateManager manager;
    ManagerSpies spies(&manager);
    manager.check();
    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.done.count(), 1);

    const QVector<Component> list = manager.components().value(DeviceOrviPlus);
    QCOMPARE(list.size(), 3);
    QCOMPARE(list[0].size, uint64_t(0));
    QCOMPARE(list[1].size, uint64_t(m_fileSizes.value("c1.bin")));
    QCOMPARE(list[2].size, uint64_t(m_fileSizes.value("c5.bin")));
    QCOMPARE(other.requests(), QStringList({"HEAD /moved.bin"}));
}

void TestUpdateManager::failedManifestDownloadLogsNothingOfItsOwn_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("published");
    QTest::newRow("missing manifest") << QString() << false;
    QTest::newRow("server error") << "?status=500" << true;
    QTest::newRow("redirect not followed") << "?status=304" << true;
    QTest::newRow("no answer") << "?hang=1" << true;
    QTest::newRow("cut off") << "?cut=20" << true;
}

void TestUpdateManager::failedManifestDownloadLogsNothingOfItsOwn()
{
    QFETCH(QString, query);
    QFETCH(bool, published);
    if (published)
        serveManifest(manifestWith("<Product Name=\"ORVI\"><Components>" + component("MP", "/c0.bin")
                                   + "</Components></Product>"),
                      query);
    else
        m_configuration->setUpdateManifestUrl(m_server->url(QStringLiteral("/absent.xml")));

    MessageRecorder recorder;
    UpdateManager manager;
    ManagerSpies spies(&manager);
    manager.check();
    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.failure.count(), 1);
    QVERIFY(manager.components().isEmpty());

    const QStringList managerLines = recorder.messagesStartingWith(QStringLiteral("UpdateManager"));
    QCOMPARE(managerLines.size(), 1);
    QVERIFY(managerLines.first().startsWith(QStringLiteral("UpdateManager: Starting download to:")));
    QCOMPARE(recorder.count(QStringLiteral("Failed to parse manifest.")), 0);
    QVERIFY(headRequests().isEmpty());

    // Nothing is left running: the next check goes ahead.
    serveManifest(manifestWith(QByteArray()));
    manager.check();
    QTRY_COMPARE_WITH_TIMEOUT(spies.done.count(), 1, OutcomeTimeoutMsecs);
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Busy.")), 0);
}

void TestUpdateManager::unusableManifestFails_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::newRow("malformed") << QByteArray("<Family Name=\"ORVI\"><Product Name=\"ORVI\">");
    QTest::newRow("invalid component after valid ones")
            << QByteArray("<Family Name=\"ORVI\"><Product Name=\"ORVI\"><Components>"
                          "<Component Name=\"MP\" Version=\"1\" ReleaseDate=\"d\" URL=\"http://127.0.0.1:9/x\"/>"
                          "<Component Name=\"DSP\" Version=\"1\" ReleaseDate=\"d\"/>"
                          "</Components></Product></Family>");
    QTest::newRow("far too large")
            << QByteArray("<Family Name=\"ORVI\">" + QByteArray(2 * 1024 * 1024, ' ') + "</Family>");
}

void TestUpdateManager::unusableManifestFails()
{
    QFETCH(QByteArray, xml);
    serveManifest(xml);
    MessageRecorder recorder;
    UpdateManager manager;
    ManagerSpies spies(&manager);
    manager.check();
    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.failure.count(), 1);
    QCOMPARE(recorder.count(QStringLiteral("Failed to parse manifest.")), 1);
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Manifest parsed.")), 0);
    QVERIFY(manager.components().isEmpty());
    QVERIFY(!manager.lastCheck().isValid());
    QVERIFY(headRequests().isEmpty());
}

void TestUpdateManager::lastCheckSurvivesLaterFailures()
{
    serveManifest(manifestWith("<Product Name=\"ORVI\"><Components>" + component("MP", "/c0.bin")
                               + component("DSP", "/c1.bin?status=404")
                               + "</Components></Product>"));
    UpdateManager manager;
    ManagerSpies spies(&manager);
    manager.check();
    QVERIFY(waitForOutcome(spies));
    QCOMPARE(spies.failure.count(), 1);
    // Parsed, so dated, although a size query failed afterwards.
    const QDateTime parsedAt = manager.lastCheck();
    QVERIFY(parsedAt.isValid());
    QCOMPARE(parsedAt, QFileInfo(manifestPath()).lastModified());

    m_configuration->setUpdateManifestUrl(m_server->url(QStringLiteral("/absent.xml")));
    manager.check();
    QTRY_COMPARE_WITH_TIMEOUT(spies.failure.count(), 2, OutcomeTimeoutMsecs);
    QCOMPARE(manager.lastCheck(), parsedAt);
    QCOMPARE(spies.done.count(), 0);
}

void TestUpdateManager::unsafeWorkingFolderFailsTheCheck()
{
    serveManifest(manifestWith(QByteArray()));
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    QVERIFY(QDir().mkpath(QDir::tempPath() + QStringLiteral("/Brevanto")));
    QVERIFY(QFile::link(elsewhere.path(), workingFolderPath()));

    MessageRecorder recorder;
    UpdateManager manager;
    ManagerSpies spies(&manager);
    manager.check();
    // Refused before anything is fetched.
    QCOMPARE(spies.failure.count(), 1);
    QCOMPARE(recorder.count(QStringLiteral("UpdateManager: Failed to create path: \"%1\"")
                                    .arg(workingFolderPath())),
             1);
    QVERIFY(m_server->requests().isEmpty());
    QVERIFY(QDir(elsewhere.path()).isEmpty());

    QVERIFY(QFile::remove(workingFolderPath()));
    manager.check();
    QTRY_COMPARE_WITH_TIMEOUT(spies.done.count(), 1, OutcomeTimeoutMsecs);
    QCOMPARE(spies.failure.count(), 1);
}

QTEST_GUILESS_MAIN(TestUpdateManager)
#include "tst_update_manager.moc"
