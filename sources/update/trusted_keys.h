#ifndef ORVI_TRUSTED_KEYS_H
#define ORVI_TRUSTED_KEYS_H

#include "update/manifest_signature.h"

#include <QString>
#include <QStringList>
#include <QVector>

namespace OrviPlus {

// Where the minisign public keys that may sign manifests come from.
struct TrustedKeySources
{
    QStringList builtIn;  // base64 key lines compiled into this build
    QString systemFolder; // its keys count only while no one but root can change them
    QString userFolder;
};

// The build's keys, /etc/orvi-updater/trusted-keys and the user's Brevanto/trusted-keys.
TrustedKeySources defaultTrustedKeySources();

// Every key of the sources; folders that are missing give none, and files that are not keys
// or may be changed by others than root (in the system folder) are passed over with a warning.
QVector<MinisignKey> loadTrustedKeys(const TrustedKeySources &sources);

} // namespace OrviPlus

#endif // ORVI_TRUSTED_KEYS_H
