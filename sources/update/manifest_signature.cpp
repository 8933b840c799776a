#include "update/manifest_signature.h"

#include <QList>

#include <algorithm>

#include <sodium.h>

namespace OrviPlus {

namespace {

const QByteArray untrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray trustedPrefix = QByteArrayLiteral("trusted comment: ");
const QByteArray keyAlgorithm = QByteArrayLiteral("Ed");
const QByteArray hashedAlgorithm = QByteArrayLiteral("ED");
constexpr int keyIdSize = 8;
constexpr int publicKeySize = crypto_sign_PUBLICKEYBYTES;
constexpr int signatureSize = crypto_sign_BYTES;

// Lines without their ends; a file may end in a line break and may use CR LF, as
// minisign itself accepts.
QList<QByteArray> textLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// Strict base64 of exactly size bytes; empty when the text is anything else.
QByteArray decodeExactly(const QByteArray &text, int size)
{
    const QByteArray::FromBase64Result decoded =
            QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != text)
        return QByteArray();
    return decoded.decoded;
}

bool verifyDetached(const QByteArray &signature, const QByteArray &message, const QByteArray &publicKey)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       quint64(message.size()),
                                       reinterpret_cast<const unsigned char *>(publicKey.constData()))
            == 0;
}

QByteArray blake2b512(const QByteArray &data)
{
    QByteArray digest(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), size_t(digest.size()),
                       reinterpret_cast<const unsigned char *>(data.constData()), quint64(data.size()), nullptr, 0);
    return digest;
}

} // namespace

QString parseMinisignKey(const QByteArray &text, MinisignKey *key)
{
    QList<QByteArray> lines = textLines(text);
    if (lines.size() == 2 && lines.first().startsWith(untrustedPrefix))
        lines.removeFirst();
    if (lines.size() != 1)
        return QStringLiteral("a public key is one base64 line, after an optional untrusted comment");
    const QByteArray bytes = decodeExactly(lines.first(), 2 + keyIdSize + publicKeySize);
    if (bytes.isEmpty())
        return QStringLiteral("the key line is not the base64 of %1 bytes").arg(2 + keyIdSize + publicKeySize);
    if (!bytes.startsWith(keyAlgorithm))
        return QStringLiteral("the key is not an Ed25519 key");
    key->id = bytes.mid(2, keyIdSize);
    key->publicKey = bytes.mid(2 + keyIdSize);
    return QString();
}

QString parseMinisignSignature(const QByteArray &text, MinisignSignature *signature)
{
    if (text.size() > MaxSignatureSize)
        return QStringLiteral("the signature file is larger than %1 bytes").arg(MaxSignatureSize);
    const QList<QByteArray> lines = textLines(text);
    if (lines.size() != 4 || !lines[0].startsWith(untrustedPrefix) || !lines[2].startsWith(trustedPrefix))
        return QStringLiteral("a signature file has four lines: untrusted comment, signature, trusted comment, "
                              "global signature");
    const QByteArray bytes = decodeExactly(lines[1], 2 + keyIdSize + signatureSize);
    if (bytes.isEmpty())
        return QStringLiteral("the signature line is not the base64 of %1 bytes").arg(2 + keyIdSize + signatureSize);
    if (bytes.startsWith(keyAlgorithm))
        return QStringLiteral("the signature is of the legacy kind (Ed), over the file itself; only prehashed "
                              "signatures (ED) are accepted");
    if (!bytes.startsWith(hashedAlgorithm))
        return QStringLiteral("the signature's algorithm is unknown");
    const QByteArray global = decodeExactly(lines[3], signatureSize);
    if (global.isEmpty())
        return QStringLiteral("the global signature line is not the base64 of %1 bytes").arg(signatureSize);
    signature->keyId = bytes.mid(2, keyIdSize);
    signature->signature = bytes.mid(2 + keyIdSize);
    signature->trustedComment = lines[2].mid(trustedPrefix.size());
    signature->globalSignature = global;
    return QString();
}

QString keyIdText(const QByteArray &id)
{
    QByteArray reversed(id.size(), '\0');
    std::copy(id.crbegin(), id.crend(), reversed.begin());
    QString text = QString::fromLatin1(reversed.toHex().toUpper());
    while (text.size() > 1 && text.startsWith(QLatin1Char('0')))
        text.remove(0, 1);
    return text;
}

qint64 trustedTimestamp(const QByteArray &trustedComment)
{
    // minisign writes "timestamp:N\tfile:NAME\thashed"; fields are separated by blanks.
    const QList<QByteArray> fields = trustedComment.simplified().split(' ');
    for (const QByteArray &field : fields) {
        if (!field.startsWith("timestamp:"))
            continue;
        const QByteArray digits = field.mid(int(sizeof("timestamp:")) - 1);
        bool number = false;
        const qint64 value = digits.toLongLong(&number);
        const bool plain = !digits.isEmpty()
                && std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; });
        return number && plain ? value : -1;
    }
    return -1;
}

SignatureVerdict verifyManifestSignature(const QByteArray &manifest, const QByteArray &signatureText,
                                         const QVector<MinisignKey> &keys)
{
    SignatureVerdict verdict;
    if (sodium_init() < 0) {
        verdict.failure = QStringLiteral("the cryptography library cannot start");
        return verdict;
    }
    MinisignSignature signature;
    verdict.failure = parseMinisignSignature(signatureText, &signature);
    if (!verdict.failure.isEmpty())
        return verdict;
    verdict.keyId = signature.keyId;

    const MinisignKey *signer = nullptr;
    bool knownId = false;
    const QByteArray digest = blake2b512(manifest);
    for (const MinisignKey &key : keys) {
        if (key.id != signature.keyId)
            continue;
        knownId = true;
        if (verifyDetached(signature.signature, digest, key.publicKey)) {
            signer = &key;
            break;
        }
    }
    if (!knownId) {
        verdict.failure = QStringLiteral("it is signed by key %1, which is not trusted").arg(keyIdText(signature.keyId));
        return verdict;
    }
    if (signer == nullptr) {
        verdict.failure = QStringLiteral("its signature by key %1 does not match it").arg(keyIdText(signature.keyId));
        return verdict;
    }
    if (!verifyDetached(signature.globalSignature, signature.signature + signature.trustedComment,
                        signer->publicKey)) {
        verdict.failure = QStringLiteral("the trusted comment of its signature has been altered");
        return verdict;
    }
    verdict.timestamp = trustedTimestamp(signature.trustedComment);
    if (verdict.timestamp < 0)
        verdict.failure = QStringLiteral("the trusted comment of its signature carries no timestamp");
    return verdict;
}

} // namespace OrviPlus
