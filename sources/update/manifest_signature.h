#ifndef ORVI_MANIFEST_SIGNATURE_H
#define ORVI_MANIFEST_SIGNATURE_H

#include <QByteArray>
#include <QString>
#include <QVector>

namespace OrviPlus {

// A minisign public key: Ed25519, picked by its 8-byte key id.
struct MinisignKey
{
    QByteArray id;        // as stored in the key, least significant byte first
    QByteArray publicKey; // 32 bytes
};

// A minisign signature file, parsed but not yet verified.
struct MinisignSignature
{
    QByteArray keyId;
    QByteArray signature;       // 64 bytes, over the BLAKE2b-512 of the file
    QByteArray trustedComment;  // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature and trusted comment
};

// What a check of a manifest's signature found.
struct SignatureVerdict
{
    QString failure; // empty when the signature holds
    QByteArray keyId;
    qint64 timestamp = -1; // from the trusted comment
};

// Signature files are a few hundred bytes; anything much larger is not one.
constexpr qint64 MaxSignatureSize = 16 * 1024;

// Each returns an empty text on success, else why the text was refused. A key is the
// two lines of a minisign .pub file or its base64 line alone.
QString parseMinisignKey(const QByteArray &text, MinisignKey *key);
QString parseMinisignSignature(const QByteArray &text, MinisignSignature *signature);

// The key id as minisign prints it: upper-case hexadecimal without leading zeros.
QString keyIdText(const QByteArray &id);

// The N of "timestamp:N" in a trusted comment, or -1.
qint64 trustedTimestamp(const QByteArray &trustedComment);

// Checks that signatureText is a good signature of manifest by one of keys and that its
// trusted comment carries a timestamp.
SignatureVerdict verifyManifestSignature(const QByteArray &manifest, const QByteArray &signatureText,
                                         const QVector<MinisignKey> &keys);

} // namespace OrviPlus

#endif // ORVI_MANIFEST_SIGNATURE_H
