#include "settings/configuration_manager.h"

#include <QDebug>
#include <QSettings>
#include <QVariant>

namespace OrviPlus {

namespace {

// Stores written by an older format (version 0 or none) are cleared at start.
const int settingsFormatVersion = 1;

const char versionKey[] = "version";
const char updateManifestUrlKey[] = "update/manifest-url";
const QString signatureTimestampGroup = QStringLiteral("update/signature-timestamp/");

} // namespace

ConfigurationManager *ConfigurationManager::m_instance = nullptr;

ConfigurationManager::ConfigurationManager(QObject *parent)
    : QObject(parent)
{
    if (m_instance != nullptr)
        throw Error();
    m_instance = this;
    m_settings = new QSettings(this);

    qDebug() << "Configuration manager: current version:" << settingsFormatVersion;
    const int existingVersion = m_settings->value(versionKey, 0).toInt();
    qDebug() << "Configuration manager: existing version:" << existingVersion;
    if (existingVersion == settingsFormatVersion)
        return; // nothing to write, so a start costs no file write
    if (existingVersion <= 0)
        m_settings->clear();
    m_settings->setValue(versionKey, settingsFormatVersion);
    save();
}

ConfigurationManager::~ConfigurationManager()
{
    m_instance = nullptr;
}

QUrl ConfigurationManager::defaultUpdateManifestUrl()
{
    return QUrl(QStringLiteral(ORVI_DEFAULT_MANIFEST_URL), QUrl::TolerantMode);
}

QUrl ConfigurationManager::updateManifestUrl() const
{
    return m_settings->value(updateManifestUrlKey, defaultUpdateManifestUrl()).toUrl();
}

void ConfigurationManager::setUpdateManifestUrl(const QUrl &url)
{
    m_settings->setValue(updateManifestUrlKey, url);
    save();
}

void ConfigurationManager::resetUpdateManifestUrl()
{
    m_settings->remove(updateManifestUrlKey);
    save();
}

qint64 ConfigurationManager::signatureTimestamp(const QString &keyId) const
{
    return m_settings->value(signatureTimestampGroup + keyId, 0).toLongLong();
}

void ConfigurationManager::setSignatureTimestamp(const QString &keyId, qint64 timestamp)
{
    m_settings->setValue(signatureTimestampGroup + keyId, timestamp);
    save();
}

// The program works on without a store it can write (read-only or missing home); the
// settings then last only as long as it runs, and the user should know where to look.
void ConfigurationManager::save()
{
    m_settings->sync();
    if (m_settings->status() == QSettings::AccessError)
        qWarning() << "Configuration manager: cannot save the settings to" << m_settings->fileName();
}

} // namespace OrviPlus
