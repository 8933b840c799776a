#ifndef ORVI_CONFIGURATION_MANAGER_H
#define ORVI_CONFIGURATION_MANAGER_H

#include <QObject>
#include <QUrl>

QT_BEGIN_NAMESPACE
class QSettings;
QT_END_NAMESPACE

namespace OrviPlus {

// The one per-user settings store of the application; reached through m_instance.
class ConfigurationManager : public QObject
{
    Q_OBJECT

public:
    // Thrown when a second manager is created while one exists.
    class Error
    {
    };

    explicit ConfigurationManager(QObject *parent = nullptr);
    ~ConfigurationManager() override;

    static QUrl defaultUpdateManifestUrl();

    QUrl updateManifestUrl() const;
    void setUpdateManifestUrl(const QUrl &url);
    void resetUpdateManifestUrl();

    // The newest signature time (seconds since 1970) of a manifest accepted under a
    // signing key, so that an older manifest is never taken again; 0 when none.
    qint64 signatureTimestamp(const QString &keyId) const;
    void setSignatureTimestamp(const QString &keyId, qint64 timestamp);

    static ConfigurationManager *m_instance;

private:
    void save();

    QSettings *m_settings = nullptr;
};

} // namespace OrviPlus

#endif // ORVI_CONFIGURATION_MANAGER_H
