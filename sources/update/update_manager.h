#ifndef ORVI_UPDATE_MANAGER_H
#define ORVI_UPDATE_MANAGER_H

#include "update/download_agent.h"
#include "update/update_manifest.h"

#include <QDateTime>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QNetworkReply;
QT_END_NAMESPACE

namespace OrviPlus {

// Fetches the update manifest and the size of every component it lists.
class UpdateManager : public QObject
{
    Q_OBJECT

public:
    explicit UpdateManager(QObject *parent = nullptr);
    ~UpdateManager() override;

    void check();
    // Checks this manifest instead of the one the settings name, which keep theirs.
    void setManifestUrl(const QUrl &url);

    // Why the last check failed, for a person to read.
    QString failureReason() const;

    // The result of the last successful check; emptied when a check starts or fails.
    ComponentMap &components();
    QDateTime lastCheck() const;

signals:
    void updateDiscoveryDone();
    void failure();

private:
    enum State { Idle = 0, Checking = 1 };

    void onDownloadFinished();
    void parseManifest();
    void getDownloadSizes();
    void onComponentSizeReply(QNetworkReply *reply, Component *component);
    void failCheck(const QString &reason);

    QNetworkAccessManager m_network;
    DownloadAgent m_downloadAgent;
    UpdateManifestParser m_parser;
    int m_state = Idle;
    QString m_manifestPath;
    QList<QNetworkReply *> m_componentSizeReplies;
    QDateTime m_lastCheck;
    QUrl m_manifestUrl;
    QString m_failureReason;
};

} // namespace OrviPlus

#endif // ORVI_UPDATE_MANAGER_H
