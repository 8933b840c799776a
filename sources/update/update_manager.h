#ifndef ORVI_UPDATE_MANAGER_H
#define ORVI_UPDATE_MANAGER_H

#include "update/download_agent.h"
#include "update/manifest_signature.h"
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

// Fetches the update manifest and the size of every component it lists. Once any key is
// trusted, a manifest counts only with a good signature by one of them, fetched from beside it.
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
    enum State { Idle = 0, Checking = 1, CheckingSignature = 2 };

    void onDownloadFinished();
    void fetchSignature();
    void parseManifest();
    bool readManifest(QByteArray *manifest);
    QString signatureFailure(const QByteArray &manifest);
    void acceptSignature();
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
    QVector<MinisignKey> m_trustedKeys; // read anew for every check
    QUrl m_signatureUrl;
    QString m_signaturePath;
    SignatureVerdict m_signature; // of the manifest being checked, stored once the check succeeds
};

} // namespace OrviPlus

#endif // ORVI_UPDATE_MANAGER_H
