#include "update/update_manager.h"

#include "settings/configuration_manager.h"
#include "update/trusted_keys.h"
#include "update/working_folder.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <utility>

namespace OrviPlus {

namespace {

// A signature older than this still counts, but someone may be holding back newer manifests.
constexpr qint64 staleSignatureDays = 30;

QUrl signatureUrlOf(QUrl manifestUrl)
{
    manifestUrl.setPath(manifestUrl.path() + QStringLiteral(".minisig"));
    return manifestUrl;
}

} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent)
    , m_manifestPath(workingFolderPath() + QLatin1String("/update-manifest.xml"))
    , m_signaturePath(m_manifestPath + QLatin1String(".minisig"))
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_network.setTransferTimeout(DownloadAgent::transferTimeout());

    connect(&m_downloadAgent, &DownloadAgent::finished, this, &UpdateManager::onDownloadFinished);
    connect(&m_downloadAgent, &DownloadAgent::failed, this, [this](const QString &reason) {
        if (m_state == CheckingSignature)
            failCheck(QStringLiteral("The manifest's signature could not be downloaded: %1").arg(reason));
        else
            failCheck(QStringLiteral("The manifest could not be downloaded: %1").arg(reason));
    });
}

UpdateManager::~UpdateManager()
{
    // Outstanding size replies must not report to a manager that is gone.
    for (QNetworkReply *reply : std::as_const(m_componentSizeReplies))
        reply->disconnect();
}

ComponentMap &UpdateManager::components()
{
    return m_parser.components();
}

QDateTime UpdateManager::lastCheck() const
{
    return m_lastCheck;
}

void UpdateManager::check()
{
    if (m_state != Idle) {
        qCritical() << "UpdateManager: Busy.";
        return;
    }
    m_parser.reset();
    m_state = Checking;
    m_signature = SignatureVerdict();

    if (!prepareWorkingFolder()) {
        qCritical() << "UpdateManager: Failed to create path:" << workingFolderPath();
        failCheck(QStringLiteral("The working folder %1 cannot be used.").arg(workingFolderPath()));
        return;
    }

    ConfigurationManager *configuration = ConfigurationManager::m_instance;
    const QUrl manifestUrl = !m_manifestUrl.isEmpty() ? m_manifestUrl
                             : configuration          ? configuration->updateManifestUrl()
                                                      : ConfigurationManager::defaultUpdateManifestUrl();
    m_trustedKeys = loadTrustedKeys(defaultTrustedKeySources());
    if (m_trustedKeys.isEmpty())
        qDebug() << "UpdateManager: No signing key is trusted, so manifest signatures are not checked.";
    m_signatureUrl = signatureUrlOf(manifestUrl);

    qDebug() << "UpdateManager: Starting download to:" << m_manifestPath;
    m_downloadAgent.setMaximumFileSize(UpdateManifestParser::MaxManifestSize);
    m_downloadAgent.download(DownloadRequest{manifestUrl, m_manifestPath});
}

void UpdateManager::onDownloadFinished()
{
    if (m_state == Checking && !m_trustedKeys.isEmpty())
        fetchSignature();
    else if (m_state == Checking || m_state == CheckingSignature)
        parseManifest();
    else
        qCritical() << "UpdateManager::downloadFinished: unexpected state.";
}

void UpdateManager::fetchSignature()
{
    m_state = CheckingSignature;
    qDebug() << "UpdateManager: Fetching the manifest's signature:" << m_signatureUrl;
    m_downloadAgent.setMaximumFileSize(MaxSignatureSize);
    m_downloadAgent.download(DownloadRequest{m_signatureUrl, m_signaturePath});
}

bool UpdateManager::readManifest(QByteArray *manifest)
{
    QFile file(m_manifestPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical() << "UpdateManager: failed to open manifest file.";
        failCheck(QStringLiteral("The downloaded manifest cannot be opened."));
        return false;
    }
    qDebug() << "UpdateManager: Manifest file opened.";
    *manifest = file.read(UpdateManifestParser::MaxManifestSize + 1);
    return true;
}

// Empty when the manifest may be used; checked on the bytes that are then parsed, so the
// file cannot change in between.
QString UpdateManager::signatureFailure(const QByteArray &manifest)
{
    QFile file(m_signaturePath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("its downloaded signature cannot be opened");
    m_signature = verifyManifestSignature(manifest, file.read(MaxSignatureSize + 1), m_trustedKeys);
    if (!m_signature.failure.isEmpty())
        return m_signature.failure;

    const QString keyId = keyIdText(m_signature.keyId);
    ConfigurationManager *configuration = ConfigurationManager::m_instance;
    const qint64 seen = configuration ? configuration->signatureTimestamp(keyId) : 0;
    const QDateTime signedAt = QDateTime::fromSecsSinceEpoch(m_signature.timestamp, Qt::UTC);
    if (m_signature.timestamp < seen) {
        return QStringLiteral("it is older than a manifest already seen: signed %1, and one signed %2 was "
                              "accepted before")
                .arg(signedAt.toString(Qt::ISODate), QDateTime::fromSecsSinceEpoch(seen, Qt::UTC).toString(Qt::ISODate));
    }
    const qint64 age = signedAt.daysTo(QDateTime::currentDateTimeUtc());
    if (age > staleSignatureDays) {
        qWarning().noquote() << QStringLiteral("UpdateManager: The manifest was signed %1 days ago (%2); newer ones "
                                               "may be held back.")
                                        .arg(age)
                                        .arg(signedAt.toString(Qt::ISODate));
    }
    qDebug().noquote() << QStringLiteral("UpdateManager: Manifest signed by key %1 at %2.")
                                  .arg(keyId, signedAt.toString(Qt::ISODate));
    return QString();
}

void UpdateManager::parseManifest()
{
    QByteArray manifest;
    if (!readManifest(&manifest))
        return;
    if (m_state == CheckingSignature) {
        const QString failure = signatureFailure(manifest);
        if (!failure.isEmpty()) {
            qCritical().noquote() << "UpdateManager: Manifest signature refused:" << failure;
            failCheck(QStringLiteral("The manifest is refused: %1.").arg(failure));
            return;
        }
    }

    QBuffer buffer(&manifest);
    buffer.open(QIODevice::ReadOnly);
    if (!m_parser.parse(&buffer)) {
        qCritical() << "Failed to parse manifest.";
        failCheck(QStringLiteral("The manifest cannot be read: it is not a valid update manifest."));
        return;
    }
    m_lastCheck = QFileInfo(m_manifestPath).lastModified();
    qDebug() << "UpdateManager: Manifest parsed.";

    // The signature vouches for the firmware only through the digests it covers.
    if (m_state == CheckingSignature) {
        for (const Component *component : m_parser.allComponents()) {
            if (component->sha256.isEmpty()) {
                qCritical().noquote() << "UpdateManager: Unsigned component:" << component->url.toString();
                failCheck(QStringLiteral("Unsigned component: the signed manifest lists %1 at %2 without a SHA256 "
                                         "digest, so its file cannot be checked.")
                                  .arg(componentTypeName(component->type), component->url.toString()));
                return;
            }
        }
    }

    if (m_parser.components().isEmpty()) {
        acceptSignature();
        m_state = Idle;
        emit updateDiscoveryDone();
        return;
    }
    getDownloadSizes();
}

// A manifest counts as seen once its check has succeeded; from then on none older is taken.
void UpdateManager::acceptSignature()
{
    ConfigurationManager *configuration = ConfigurationManager::m_instance;
    const QString keyId = keyIdText(m_signature.keyId);
    if (m_signature.timestamp >= 0 && configuration && configuration->signatureTimestamp(keyId) < m_signature.timestamp)
        configuration->setSignatureTimestamp(keyId, m_signature.timestamp);
}

void UpdateManager::getDownloadSizes()
{
    Q_ASSERT(m_componentSizeReplies.empty());

    const QVector<Component *> components = m_parser.allComponents();
    for (Component *component : components) {
        qDebug() << "Requesting component size for url:" << component->url;
        QNetworkReply *reply = m_network.head(QNetworkRequest(component->url));
        connect(reply, &QNetworkReply::finished, reply,
                [this, reply, component] { onComponentSizeReply(reply, component); });
        m_componentSizeReplies.append(reply);
    }
}

void UpdateManager::onComponentSizeReply(QNetworkReply *reply, Component *component)
{
    // Replies are taken off the list before they are aborted, so one that is not on
    // it belongs to a check that has already failed. A reply stopped by the
    // inactivity time-out is still on the list and fails the check below.
    if (!m_componentSizeReplies.contains(reply)) {
        qDebug() << "Component size reply aborted:" << reply->url();
        reply->deleteLater();
        return;
    }

    if (reply->error() != QNetworkReply::NoError || !httpStatusFailure(reply).isEmpty()) {
        qDebug() << "Component size reply ERROR:" << reply->url();
        const QList<QNetworkReply *> others = std::exchange(m_componentSizeReplies, {});
        for (QNetworkReply *other : others) {
            if (other != reply)
                other->abort();
        }
        const QString failure = httpStatusFailure(reply);
        const QString reason = QStringLiteral("The size of %1 cannot be had: %2")
                                       .arg(reply->url().toString(), failure.isEmpty() ? reply->errorString() : failure);
        reply->deleteLater();
        failCheck(reason);
        return;
    }

    component->size = reply->header(QNetworkRequest::ContentLengthHeader).toULongLong();
    qDebug() << "Size for component: " << componentTypeName(component->type) << "="
             << component->size;
    m_componentSizeReplies.removeOne(reply);
    reply->deleteLater();

    if (m_componentSizeReplies.empty()) {
        acceptSignature();
        emit updateDiscoveryDone();
        m_state = Idle;
    }
}

void UpdateManager::setManifestUrl(const QUrl &url)
{
    m_manifestUrl = url;
}

QString UpdateManager::failureReason() const
{
    return m_failureReason;
}

void UpdateManager::failCheck(const QString &reason)
{
    qCritical().noquote() << "UpdateManager: Check failed:" << reason;
    m_failureReason = reason;
    m_state = Idle;
    m_parser.reset();
    emit failure();
}

} // namespace OrviPlus
