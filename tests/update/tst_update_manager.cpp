#include "update/update_manager.h"

#include "update/trusted_keys.h"

#include "settings/configuration_manager.h"
#include "update/working_folder.h"

#include "http_test_server.h"
#include "message_log.h"
#include "minisign_tool.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace OrviPlus;

namespace {

QString brevantoPath()
{
    return QDir::tempPath() + QStringLiteral("/Brevanto-") + QString::number(geteuid());
}

// Type and permission bits, of a link itself rather than its target.
int modeOf(const QString &path)
{
    struct stat info;
    return lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode) : -1;
}

QByteArray product(const QByteArray &name, const QByteArray &components)
{
    return "<Product Name=\"" + name + "\"><Components>" + components + "</Components></Product>";
}


MinisignKey keyOf(const QByteArray &pubText)
{
    MinisignKey key;
    return parseMinisignKey(pubText, &key).isEmpty() ? key : MinisignKey();
}

QByteArray withLine(const QByteArray &text, int index, const QByteArray &line)
{
    QList<QByteArray> lines = text.split('\n');
    if (line.isNull())
        lines.removeAt(index);
    else
        lines[index] = line;
    return lines.join('\n');
}

bool writeFileWithMode(const QString &path, const QByteArray &content, int mode)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.setPermissions({})
            && chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

struct WatchedManager
{
    // Waits for the first outcome; true if exactly one came.
    bool settle()
    {
        if (QTest::qWaitFor([this] { return done.count() + failure.count() > 0; }, 15000))
            QTest::qWait(50); // a second outcome would come now
        return done.count() + failure.count() == 1;
    }

    UpdateManager manager;
    QSignalSpy done{&manager, &UpdateManager::updateDiscoveryDone};
    QSignalSpy failure{&manager, &UpdateManager::failure};
};

} // namespace

class TestUpdateManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Brevanto"));
        QCoreApplication::setApplicationName(QStringLiteral("Orvi Updater Tests"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configFolder.path())); // settings and trusted keys
        m_configuration = std::make_unique<ConfigurationManager>();
        DownloadAgent::setTransferTimeoutForTesting(1000);
        for (int i = 0; i < 4; ++i) {
            QFile file(m_serverRoot.filePath(QStringLiteral("c%1.bin").arg(i)));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(1000 * (i + 1) + i, 'x')) > 0);
        }
        m_server = std::make_unique<HttpTestServer>(m_serverRoot.path());
        QVERIFY(m_server->started());
        m_published = m_minisign.makeKey("published");
        m_stranger = m_minisign.makeKey("stranger");
        QVERIFY(!m_published.isEmpty() && !m_stranger.isEmpty());
        QVERIFY(writeFileWithMode(m_minisign.path("manifest.xml"), m_manifest, 0644));
    }

    void init()
    {
        QFile::remove(brevantoPath()); // a link or a file, not followed
        QDir(brevantoPath()).removeRecursively();
        m_server->takeRequests();
    }

    void sizesEveryComponentRefusingChecksMeanwhile()
    {
        // Two are redirected, to the same port and to the other one; one comes without a length.
        const QString elsewhere = QUrl::toPercentEncoding(m_server->url(QStringLiteral("/c3.bin"), 1).toString());
        serve(product("ORVI+", component("MP", "/c0.bin?delay=300") + component("DSP", "/c1.bin?nolength=1")
                                       + component("Styles", "/old?redirect=/c2.bin")
                                       + component("Ensemble", "/old?redirect=" + elsewhere)),
              QStringLiteral("?delay=300"));
        // Folders of ours left open, by an earlier version say, are closed and their files kept.
        QVERIFY(QDir().mkpath(workingFolderPath()));
        QVERIFY(chmod(QFile::encodeName(brevantoPath()).constData(), 0755) == 0
                && chmod(QFile::encodeName(workingFolderPath()).constData(), 0777) == 0);
        QFile kept(workingFolderPath() + QStringLiteral("/kept.bin"));
        QVERIFY(kept.open(QIODevice::WriteOnly));
        MessageLog log;
        WatchedManager run;
        run.manager.check();
        run.manager.check(); // while the manifest downloads
        QCOMPARE(log.count(QStringLiteral("UpdateManager: Busy.")), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!log.startingWith(QStringLiteral("Requesting component size")).isEmpty(),
                                 15000);
        run.manager.check(); // while the sizes are asked
        QCOMPARE(log.count(QStringLiteral("UpdateManager: Busy.")), 2);
        QVERIFY(run.settle());
        QCOMPARE(run.done.count(), 1);
        QCOMPARE(modeOf(brevantoPath()), S_IFDIR | 0700);
        QCOMPARE(modeOf(workingFolderPath()), S_IFDIR | 0700);
        QVERIFY(kept.exists());
        QStringList sizes;
        for (const Component &item : run.manager.components().value(DeviceOrviPlus))
            sizes << QStringLiteral("%1 %2").arg(item.url.path()).arg(item.size);
        QCOMPARE(sizes, QStringList({"/c0.bin 1000", "/c1.bin 0", "/old 3002", "/old 4003"}));
        // One manifest request; sizes come only from HEAD requests, one per component and redirection.
        const QStringList requests = m_server->takeRequests();
        QCOMPARE(requests.size(), 7);
        QCOMPARE(requests.filter(QRegularExpression(QStringLiteral("^HEAD "))).size(), 6);

        // A check that finds nothing for this program is over when it says so: one asked for as soon as it
        // reports its end is not refused as busy.
        serve(product("ORVI ", component("MP", "/c0.bin")));
        connect(&run.manager, &UpdateManager::updateDiscoveryDone, this, [&] {
            if (run.done.count() == 2)
                run.manager.check();
        });
        run.manager.check();
        QTRY_COMPARE_WITH_TIMEOUT(run.done.count(), 3, 15000);
    }

    void failedStepEndsTheCheck()
    {
        // The step that fails, the products served, the manifest's query and the size replies aborted.
        const QByteArray invalid = component("MP", "/c0.bin") + "<Component Name=\"DSP\" Version=\"1\"/>";
        const QByteArray waiting = product("ORVI+", component("MP", "/c0.bin?delay=60000")
                                                    + component("DSP", "/c1.bin?status=404")
                                                    + component("Styles", "/c2.bin?delay=60000"))
                + product("Orvi Updater", component("Mac", "/c3.bin?delay=60000"));
        const std::tuple<QString, QByteArray, QString, int> cases[] = {
                {"download", product("ORVI", component("DSP", "/c0.bin")), "?endless=1", 0}, // manifest without end
                {"parse", product("ORVI", invalid), "", 0}, // an invalid component after a valid one
                {"size", product("ORVI", component("DSP", "/c0.bin?status=304")), "", 0},
                {"size", product("ORVI", component("DSP", "/c0.bin?delay=60000")), "", 0},
                {"size", waiting, "", 3}}; // an error while others wait
        for (const auto &[step, products, manifestQuery, aborted] : cases) {
            init();
            serve(products, manifestQuery);
            MessageLog log;
            WatchedManager run;
            run.manager.check();
            QVERIFY(run.settle());
            QCOMPARE(run.failure.count(), 1);
            QVERIFY(run.manager.components().isEmpty());
            QCOMPARE(log.startingWith(QStringLiteral("Component size reply ERROR:")).size(), int(step == "size"));
            QCOMPARE(log.startingWith(QStringLiteral("Component size reply aborted:")).size(), aborted);
            QCOMPARE(log.count(QStringLiteral("Failed to parse manifest.")), int(step == "parse"));
            // Only a parsed manifest dates the check, even if a size query fails afterwards;
            // a later failure leaves the date as it is.
            const QFileInfo manifest(workingFolderPath() + QStringLiteral("/update-manifest.xml"));
            const QDateTime parsedAt = step == "size" ? manifest.lastModified() : QDateTime();
            QCOMPARE(run.manager.lastCheck(), parsedAt);
            serve(QByteArray(), QStringLiteral("?status=404"));
            run.manager.check();
            QTRY_COMPARE_WITH_TIMEOUT(run.failure.count(), 2, 15000);
            QCOMPARE(run.manager.lastCheck(), parsedAt);
        }
    }

    void unsafeWorkingFolderFailsTheCheck()
    {
        serve(QByteArray());
        for (const QString kind : {"link as working folder", "file as its parent", "foreign working folder"}) {
            init();
            const QString culprit = kind.startsWith("file") ? brevantoPath() : workingFolderPath();
            QTemporaryDir target;
            if (kind.startsWith("link")) {
                QVERIFY(QDir().mkpath(brevantoPath()) && QFile::link(target.path(), culprit));
            } else if (kind.startsWith("file")) {
                QVERIFY(QFile(culprit).open(QIODevice::WriteOnly));
            } else {
                if (geteuid() != 0)
                    QSKIP("handing a folder to another user needs root");
                QVERIFY(QDir().mkpath(culprit));
                QVERIFY(chown(QFile::encodeName(culprit).constData(), 65534, 65534) == 0
                        && chmod(QFile::encodeName(culprit).constData(), 0777) == 0);
            }
            const int mode = modeOf(culprit);

            MessageLog log;
            WatchedManager run;
            run.manager.check();
            // Refused before anything is fetched, and left as found: it is not ours to change.
            QVERIFY2(run.failure.count() == 1, qPrintable(kind));
            const QString problem = kind.startsWith("foreign") ? QStringLiteral("belongs to another user")
                                                               : QStringLiteral("not a folder");
            QCOMPARE(log.count(QStringLiteral("Working folder: %1: \"%2\"").arg(problem, culprit)), 1);
            QCOMPARE(log.count("UpdateManager: Failed to create path: \"" + workingFolderPath() + '"'), 1);
            QVERIFY(m_server->takeRequests().isEmpty());
            QCOMPARE(modeOf(culprit), mode);
        }
    }

    void signedManifestsOnceAKeyIsTrusted()
    {
        const QString keyId = QString::fromLatin1(m_published.split('\n')[0].split(' ').last());
        const QString manifestPath = m_serverRoot.filePath(QStringLiteral("manifest.xml"));
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const qint64 day = 24 * 3600;
        const QByteArray digested = product("ORVI+", component("MP", "/c0.bin", true))
                + product("Orvi Updater", component("Mac", "/c3.bin", true));

        // Run in order: what is served, its signature's time (0: none), the server's signature
        // fault, what the check must say (empty: it succeeds) and the time then kept for the key.
        const std::tuple<const char *, QByteArray, qint64, QString, QString, qint64> cases[] = {
                {"no key trusted", product("ORVI+", component("MP", "/c0.bin")), 0, "", "", 0},
                {"key trusted, no signature", digested, 0, "sig=none", "signature could not be downloaded", 0},
                {"a month old", digested, now - 31 * day, "", "", now - 31 * day},
                {"newer", digested, now - 10 * day, "", "", now - 10 * day},
                {"older", digested, now - 20 * day, "", "older than a manifest already seen", now - 10 * day},
                {"as old", digested, now - 10 * day, "", "", now - 10 * day},
                {"without digest", product("ORVI+", component("MP", "/c0.bin", true) + component("DSP", "/c1.bin")),
                 now - 5 * day, "", "Unsigned component", now - 10 * day},
                {"size query fails", product("ORVI+", component("MP", "/c0.bin?status=404", true)), now - 3 * day, "",
                 "The size of", now - 10 * day},
                {"altered signature", digested, now - 2 * day, "sig=bad", "does not match it", now - 10 * day},
                {"another key", digested, now - 2 * day, "sig=other", "which is not trusted", now - 10 * day},
        };
        for (const auto &[name, products, signedAt, fault, failure, kept] : cases) {
            init();
            serve(products, fault.isEmpty() ? QString() : '?' + fault);
            QFile::remove(manifestPath + ".minisig");
            if (signedAt != 0) {
                const QByteArray signature = m_minisign.signAt(manifestPath, "published", signedAt);
                const QByteArray other = m_minisign.signAt(manifestPath, "stranger", signedAt);
                QVERIFY(writeFile(manifestPath + ".minisig", signature) && writeFile(manifestPath + ".other.minisig", other));
            }
            MessageLog log;
            WatchedManager run;
            run.manager.check();
            QVERIFY2(run.settle(), name);
            QVERIFY2(failure.isEmpty() ? run.done.count() == 1 : run.manager.failureReason().contains(failure),
                     qPrintable(QStringLiteral("%1: %2").arg(name, run.manager.failureReason())));
            QCOMPARE(m_configuration->signatureTimestamp(keyId), kept);
            QCOMPARE(log.startingWith("UpdateManager: No signing key is trusted").size(), int(signedAt == 0 && fault.isEmpty()));
            QCOMPARE(log.startingWith("UpdateManager: The manifest was signed 31 days ago").size(), int(signedAt == now - 31 * day));
            // A refused manifest is not acted on: not even the sizes of its files are asked.
            const QStringList requests = m_server->takeRequests();
            const bool refusedUnread = !failure.isEmpty() && !failure.startsWith("The size");
            QVERIFY2(!refusedUnread || requests.filter(QRegularExpression(QStringLiteral("^HEAD "))).isEmpty(), name);
            if (qstrcmp(name, "no key trusted") == 0) {
                const QString folder = m_configFolder.filePath(QStringLiteral("Brevanto/trusted-keys"));
                QVERIFY(QDir().mkpath(folder) && writeFile(folder + "/publisher.pub", m_published));
            }
        }
        QDir(m_configFolder.filePath(QStringLiteral("Brevanto/trusted-keys"))).removeRecursively();
    }

    void signaturesAreCheckedStrictly()
    {
        const QString manifestPath = m_minisign.path("manifest.xml");
        const QByteArray good = m_minisign.signAt(manifestPath, "published", 1796660000);
        QVERIFY(!good.isEmpty());
        // The published key's id with the stranger's key: the id picks it, the signature cannot match.
        MinisignKey impostor = keyOf(m_stranger);
        impostor.id = keyOf(m_published).id;
        QByteArray changed = m_manifest;
        changed[10] = 'X';
        const QByteArray shortLine = QByteArray(2 + 8 + 63, 'E').toBase64();

        const QVector<MinisignKey> trusted{keyOf(m_published)};
        const std::tuple<const char *, QByteArray, QByteArray, QVector<MinisignKey>, QString> cases[] = {
                {"good", good, m_manifest, trusted, ""},
                {"CRLF line ends", QByteArray(good).replace("\n", "\r\n"), m_manifest, trusted, ""},
                {"a byte of the manifest changed", good, changed, trusted, "does not match it"},
                {"trusted comment changed", withLine(good, 2, "trusted comment: timestamp:1896660000"), m_manifest,
                 trusted, "comment of its signature has been altered"},
                {"unknown key", m_minisign.signAt(manifestPath, "stranger", 1796660000), m_manifest, trusted,
                 "which is not trusted"},
                {"right id, wrong key", good, m_manifest, {impostor}, "does not match it"},
                {"legacy kind", m_minisign.sign(manifestPath, "published", "timestamp:1796660000", true), m_manifest,
                 trusted, "legacy kind (Ed)"},
                {"no timestamp", m_minisign.sign(manifestPath, "published", "file:manifest.xml"), m_manifest, trusted,
                 "carries no timestamp"},
                {"line missing", withLine(good, 3, QByteArray()), m_manifest, trusted, "has four lines"},
                {"bad base64", withLine(good, 1, good.split('\n')[1].replace(4, 1, "*")), m_manifest, trusted,
                 "not the base64 of 74 bytes"},
                {"wrong length", withLine(good, 1, shortLine), m_manifest, trusted, "not the base64 of 74 bytes"},
                {"too large", withLine(good, 0, "untrusted comment: " + QByteArray(MaxSignatureSize, 'x')),
                 m_manifest, trusted, "larger than 16384 bytes"},
        };
        for (const auto &[name, signature, manifest, keys, failure] : cases) {
            QVERIFY2(!signature.isEmpty(), name);
            const SignatureVerdict verdict = verifyManifestSignature(manifest, signature, keys);
            QVERIFY2(failure.isEmpty() ? verdict.failure.isEmpty() : verdict.failure.contains(failure),
                     qPrintable(QStringLiteral("%1: %2").arg(name, verdict.failure)));
            QCOMPARE(verdict.timestamp, failure.isEmpty() ? 1796660000 : verdict.timestamp);
        }
        QCOMPARE(keyIdText(keyOf(m_published).id), QString::fromLatin1(m_published.split('\n')[0].split(' ').last()));
    }

    void keysComeOnlyFromSafePlaces()
    {
        if (geteuid() != 0)
            QSKIP("folders of root and of other users need root to make");
        QTemporaryDir system, user;
        const QByteArray strangerLine = m_stranger.split('\n')[1];
        QVERIFY(writeFileWithMode(system.filePath("published.pub"), m_published, 0644)
                && writeFileWithMode(system.filePath("group-writable.pub"), m_stranger, 0664)
                && writeFileWithMode(system.filePath("foreign.pub"), m_stranger, 0644)
                && chown(QFile::encodeName(system.filePath("foreign.pub")).constData(), 65534, 65534) == 0
                && chmod(QFile::encodeName(system.path()).constData(), 0755) == 0);
        QVERIFY(writeFileWithMode(user.filePath("notes.txt"), "not a key\n", 0666)
                && writeFileWithMode(user.filePath("stranger.pub"), strangerLine + '\n', 0666));

        const auto idsOf = [](const TrustedKeySources &sources) {
            QStringList ids;
            for (const MinisignKey &key : loadTrustedKeys(sources))
                ids << keyIdText(key.id);
            return ids;
        };
        const QString published = keyIdText(keyOf(m_published).id);
        const QString stranger = keyIdText(keyOf(m_stranger).id);
        MessageLog log;
        QCOMPARE(idsOf({{QString::fromLatin1(strangerLine), "RWQ"}, system.path(), user.path()}),
                 QStringList({stranger, published, stranger}));
        QCOMPARE(log.startingWith("Trusted keys: ").size(), 4); // the bad built-in line and three files
        QCOMPARE(log.startingWith("Trusted keys: " + system.filePath("foreign.pub") + " is passed over").size(), 1);
        QCOMPARE(log.startingWith("Trusted keys: " + user.filePath("notes.txt") + " is passed over").size(), 1);

        // A folder that anyone may write to vouches for nothing; folders that are not there give nothing.
        QVERIFY(chmod(QFile::encodeName(system.path()).constData(), 0777) == 0);
        QCOMPARE(idsOf({{}, system.path(), user.path() + "/none"}), QStringList());
        QCOMPARE(log.startingWith("Trusted keys: " + system.path() + " is passed over").size(), 1);
    }

private:
    static bool writeFile(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    QByteArray component(const char *name, const QString &path, bool digest = false) const
    {
        return QByteArray("<Component Name=\"") + name + "\" Version=\"1.0.0\" ReleaseDate=\"2017-05-12\" URL=\""
                + m_server->url(path).toEncoded().replace("&", "&amp;") + "\""
                + (digest ? " SHA256=\"" + QByteArray(64, 'a') + '"' : QByteArray()) + "/>";
    }
    // Publishes a manifest of these Product elements and points the settings at it.
    void serve(const QByteArray &products, const QString &query = QString())
    {
        const QByteArray xml = "<?xml version=\"1.0\"?>\n<Family Name=\"ORVI\">" + products + "</Family>\n";
        QFile file(m_serverRoot.filePath(QStringLiteral("manifest.xml")));
        file.open(QIODevice::WriteOnly);
        file.write(xml);
        m_configuration->setUpdateManifestUrl(m_server->url(QStringLiteral("/manifest.xml") + query));
    }

    MinisignTool m_minisign;
    QByteArray m_published;
    QByteArray m_stranger;
    const QByteArray m_manifest = "<?xml version=\"1.0\"?>\n<Family Name=\"ORVI\"/>\n";
    QTemporaryDir m_configFolder;
    QTemporaryDir m_serverRoot;
    std::unique_ptr<HttpTestServer> m_server;
    std::unique_ptr<ConfigurationManager> m_configuration;
};

QTEST_GUILESS_MAIN(TestUpdateManager)
#include "tst_update_manager.moc"
