#include "update/manifest_signature.h"
#include "update/trusted_keys.h"

#include "message_log.h"
#include "minisign_tool.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace OrviPlus;

namespace {

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

bool writeFile(const QString &path, const QByteArray &content, int mode)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.setPermissions({})
            && chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

} // namespace

class TestManifestSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_published = m_minisign.makeKey("published");
        m_stranger = m_minisign.makeKey("stranger");
        QVERIFY(!m_published.isEmpty() && !m_stranger.isEmpty());
        QVERIFY(writeFile(m_minisign.path("manifest.xml"), m_manifest, 0644));
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
        QVERIFY(writeFile(system.filePath("published.pub"), m_published, 0644)
                && writeFile(system.filePath("group-writable.pub"), m_stranger, 0664)
                && writeFile(system.filePath("foreign.pub"), m_stranger, 0644)
                && chown(QFile::encodeName(system.filePath("foreign.pub")).constData(), 65534, 65534) == 0
                && chmod(QFile::encodeName(system.path()).constData(), 0755) == 0);
        QVERIFY(writeFile(user.filePath("notes.txt"), "not a key\n", 0666)
                && writeFile(user.filePath("stranger.pub"), strangerLine + '\n', 0666));

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
    MinisignTool m_minisign;
    QByteArray m_published;
    QByteArray m_stranger;
    const QByteArray m_manifest = "<?xml version=\"1.0\"?>\n<Family Name=\"ORVI\"/>\n";
};

QTEST_GUILESS_MAIN(TestManifestSignature)
#include "tst_manifest_signature.moc"
