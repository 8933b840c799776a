#include "update/update_manager.h"

#include "settings/configuration_manager.h"
#include "update/working_folder.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <utility>

namespace OrviPlus {

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent)
    , m_manifestPath(workingFolderPath() + QLatin1String("/update-manifest.xml"))
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_network.setTransferTimeout(DownloadAgent::transferTimeout());
    m_downloadAgent.setMaximumFileSize(UpdateManifestParser::MaxManifestSize);

    connect(&m_downloadAgent, &DownloadAgent::finished, this, &UpdateManager::onDownloadFinished);
    connect(&m_downloadAgent, &DownloadAgent::failed, this, [this](const QString &reason) {
        failCheck(QStringLiteral("The manifest could not be downloaded: %1").arg(reason));
    });
}

UpdateManager::~UpdateManager()
{
    // Outstanding size replies must not report to a manager that is gone.
    for (QNetworkReply *reply : qAsConst(m_componentSizeReplies))
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

    if (!prepareWorkingFolder()) {
        qCritical() << "UpdateManager: Failed to create path:" << workingFolderPath();
        failCheck(QStringLiteral("The working folder %1 cannot be used.").arg(workingFolderPath()));
        return;
    }

    ConfigurationManager *configuration = ConfigurationManager::m_instance;
    const QUrl manifestUrl = !m_manifestUrl.isEmpty() ? m_manifestUrl
                             : configuration          ? configuration->updateManifestUrl()
                                                      : ConfigurationManager::defaultUpdateManifestUrl();
    qDebug() << "UpdateManager: Starting download to:" << m_manifestPath;
    m_downloadAgent.download(DownloadRequest{manifestUrl, m_manifestPath});
}

void UpdateManager::onDownloadFinished()
{
    if (m_state != Checking) {
        qCritical() << "UpdateManager::downloadFinished: unexpected state.";
        return;
    }
    parseManifest();
}

void UpdateManager::parseManifest()
{
    QFile file(m_manifestPath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical() << "UpdateManager: failed to open manifest file.";
        failCheck(QStringLiteral("The downloaded manifest cannot be opened."));
        return;
    }
    qDebug() << "UpdateManager: Manifest file opened.";

    const bool parsed = m_parser.parse(&file);
    file.close();

    if (!parsed) {
        qCritical() << "Failed to parse manifest.";
        failCheck(QStringLiteral("The manifest cannot be read: it is not a valid update manifest."));
        return;
    }
    m_lastCheck = QFileInfo(m_manifestPath).lastModified();
    qDebug() << "UpdateManager: Manifest parsed.";

    if (m_parser.components().isEmpty()) {
        m_state = Idle;
        emit updateDiscoveryDone();
        return;
    }
    getDownloadSizes();
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
    m_failureReason = reason;
    m_state = Idle;
    m_parser.reset();
    emit failure();
}

} // namespace OrviPlus
