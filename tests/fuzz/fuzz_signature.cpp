/* Minisign keys and signature files: any bytes are refused with a reason, or
 * give fields of their exact sizes taken from the text; a manifest's signature holds only when
 * it parses, is by the trusted key, covers those very bytes and dates itself. */
#include "fuzz_targets.h"

#include "update/manifest_signature.h"

#include <QByteArray>
#include <QString>

using namespace OrviPlus;

namespace {

/* Made once with minisign; the corpus's good.minisig is goodSignature. */
const QByteArray trustedKeyText = QByteArrayLiteral("untrusted comment: minisign public key 2BFBECAEC5F59E\n"
                                                    "RWSe9cWu7PsrAKpHv5Y3pfBelmW4RN7zt3ofHYOiE0uNYXBQaxoKPUYY\n");
const QByteArray manifest =
        QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Family Name=\"ORVI\"/>\n");
const QByteArray goodSignature = QByteArrayLiteral(
        "untrusted comment: signature from minisign secret key\n"
        "RUSe9cWu7PsrAJ8P5fsiRAB7q3YAnknmVYu9TucCyWw7t41MdN6Qs4WMVEsXAPMI6+ZDDqZcCpFfumKN7Lt/1dn+vv7yjXd0QQo=\n"
        "trusted comment: timestamp:1796000000\tfile:op-manifest.xml\thashed\n"
        "0NL4MpBHa449YY+hpEZDo89NQ4KpbCpzH/D26rDWT/TXoFH+rg+bKs7AttWZOYJgQgGerOLKui+i/e8+1h1pCw==\n");

bool accepted(const QByteArray& signedBytes, const QByteArray& signatureText, const QVector<MinisignKey>& keys)
{
    return verifyManifestSignature(signedBytes, signatureText, keys).failure.isEmpty();
}

void checkTimestamp(const QByteArray& comment)
{
    const qint64 timestamp = trustedTimestamp(comment);
    FUZZ_CHECK(timestamp == -1 || (timestamp >= 0 && comment.contains(QByteArray::number(timestamp))));
}

MinisignKey trustedKey()
{
    MinisignKey key;
    FUZZ_CHECK(parseMinisignKey(trustedKeyText, &key).isEmpty());
    FUZZ_CHECK(accepted(manifest, goodSignature, {key}));
    return key;
}

void checkAsKey(const QByteArray& text, const MinisignKey& trusted)
{
    MinisignKey key;
    if (!parseMinisignKey(text, &key).isEmpty())
        return;
    FUZZ_CHECK(key.id.size() == 8 && key.publicKey.size() == 32);
    FUZZ_CHECK(text.contains(("Ed" + key.id + key.publicKey).toBase64()));
    const bool same = key.id == trusted.id && key.publicKey == trusted.publicKey;
    FUZZ_CHECK(accepted(manifest, goodSignature, {key}) == same);
}

} // namespace

int fuzzSignature(const uint8_t* data, size_t size)
{
    silenceOutput();
    static const MinisignKey trusted = trustedKey();
    const QByteArray text(reinterpret_cast<const char*>(data), int(size));
    checkAsKey(text, trusted);
    checkTimestamp(text);

    MinisignSignature signature;
    const QString problem = parseMinisignSignature(text, &signature);
    const SignatureVerdict verdict = verifyManifestSignature(manifest, text, {trusted});
    if (!problem.isEmpty()) {
        FUZZ_CHECK(verdict.failure == problem);
        return 0;
    }
    FUZZ_CHECK(signature.keyId.size() == 8 && signature.signature.size() == 64
               && signature.globalSignature.size() == 64);
    FUZZ_CHECK(text.contains(("ED" + signature.keyId + signature.signature).toBase64())
               && text.contains(signature.globalSignature.toBase64())
               && text.contains("trusted comment: " + signature.trustedComment));
    checkTimestamp(signature.trustedComment);
    if (!verdict.failure.isEmpty())
        return 0;

    FUZZ_CHECK(verdict.keyId == trusted.id && verdict.timestamp >= 0
               && verdict.timestamp == trustedTimestamp(signature.trustedComment));
    FUZZ_CHECK(!accepted(manifest + ' ', text, {trusted}) && !accepted(manifest, text, {}));
    return 0;
}
