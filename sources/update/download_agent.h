#ifndef ORVI_DOWNLOAD_AGENT_H
#define ORVI_DOWNLOAD_AGENT_H

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QFile;
QT_END_NAMESPACE

namespace OrviPlus {

// One file to fetch and where to put it.
struct DownloadRequest
{
    QUrl url;
    QString filePath;
    // Whether to take the file's SHA-256 on the way. Hashing is slower than a fast local
    // network, so only a file that has a digest to be checked against asks for it.
    bool sha256 = false;
};

// Why a reply that the network layer let through must still count as failed: a
// final HTTP status other than 200 or 203, for instance a redirect that was not
// followed, or 204 and 206, whose bodies are not the whole file. Empty when the
// status is acceptable or the reply is not HTTP.
QString httpStatusFailure(const QNetworkReply *reply);

// Downloads a list of files one after the other, streaming each to disk.
class DownloadAgent : public QObject
{
    Q_OBJECT

public:
    explicit DownloadAgent(QObject *parent = nullptr);
    ~DownloadAgent() override;

    void download(const DownloadRequest &request);
    void download(const std::vector<DownloadRequest> &requests);
    // Drops the running download, if any, without a signal; what was written stays.
    void abort();

    // SHA-256 of every file completed by the latest download, in request order, empty
    // for a request that did not ask for it; taken while streaming, so checking a file
    // costs no second read.
    QVector<QByteArray> digests() const;

    // A request that receives nothing for this long fails (milliseconds).
    static int transferTimeout();
    static void setTransferTimeoutForTesting(int msecs);

    // A file that grows past this many bytes fails at once; 0, the default, sets no limit.
    void setMaximumFileSize(qint64 bytes);

signals:
    void finished();
    void failed(const QString &reason);
    void progress(int request, float fraction);

private slots:
    void onReplyAvailable();
    void onReplyProgress(qint64 received, qint64 total);
    void onReplyError(QNetworkReply::NetworkError);
    void onReplyComplete();

private:
    void startNextRequest();
    void stopWithSuccess();
    void stopWithFailure(const QString &reason);
    void clearAnyRequests();
    bool writeAvailable();
    QString incompleteBody() const;
    QString sizeLimitFailure() const;
    void releaseReply();
    bool closeFile();

    std::vector<DownloadRequest> m_requests;
    int m_current = -1;
    QNetworkAccessManager m_network;
    QNetworkReply *m_reply = nullptr;
    std::unique_ptr<QFile> m_file;
    qint64 m_written = 0; // bytes of the current request on disk
    QStringList m_sslErrors; // why the current request's server was not trusted
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QVector<QByteArray> m_digests;
    qint64 m_maximumFileSize = 0;

    static int m_transferTimeout;
};

} // namespace OrviPlus

#endif // ORVI_DOWNLOAD_AGENT_H
