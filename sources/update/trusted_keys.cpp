#include "update/trusted_keys.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sys/stat.h>

namespace OrviPlus {

namespace {

// Root's alone: owned by root and writable by no group or other user.
bool onlyRootCanChange(const QString &path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 && info.st_uid == 0
            && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void addKey(const QByteArray &text, const QString &origin, QVector<MinisignKey> *keys)
{
    MinisignKey key;
    const QString problem = parseMinisignKey(text, &key);
    if (problem.isEmpty())
        keys->append(key);
    else
        qWarning().noquote() << QStringLiteral("Trusted keys: %1 is passed over: %2.").arg(origin, problem);
}

// In the system folder only what root alone can change may vouch for a manifest.
bool systemSafe(const QString &path, bool system)
{
    if (!system || onlyRootCanChange(path))
        return true;
    qWarning().noquote() << QStringLiteral("Trusted keys: %1 is passed over: users other than root can change it.").arg(path);
    return false;
}

void addFolder(const QString &path, bool system, QVector<MinisignKey> *keys)
{
    const QDir folder(path);
    if (!folder.exists() || !systemSafe(path, system))
        return;
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        const QString filePath = folder.filePath(name);
        if (!systemSafe(filePath, system))
            continue;
        QFile file(filePath);
        if (!file.open(QIODevice::ReadOnly)) {
            qWarning().noquote() << QStringLiteral("Trusted keys: %1 is passed over: %2.").arg(filePath, file.errorString());
            continue;
        }
        addKey(file.read(MaxSignatureSize), filePath, keys);
    }
}

} // namespace

TrustedKeySources defaultTrustedKeySources()
{
    TrustedKeySources sources;
    sources.builtIn = QString::fromLatin1(ORVI_TRUSTED_KEYS).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    sources.systemFolder = QStringLiteral("/etc/orvi-updater/trusted-keys");
    sources.userFolder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/Brevanto/trusted-keys");
    return sources;
}

QVector<MinisignKey> loadTrustedKeys(const TrustedKeySources &sources)
{
    QVector<MinisignKey> keys;
    for (const QString &line : sources.builtIn)
        addKey(line.toLatin1(), QStringLiteral("A key built into this program"), &keys);
    addFolder(sources.systemFolder, true, &keys);
    addFolder(sources.userFolder, false, &keys);
    return keys;
}

} // namespace OrviPlus
