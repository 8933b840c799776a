#include "update/download_agent.h"

#include <QDebug>
#include <QFile>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QSslError>

namespace OrviPlus {

namespace {

// Bounds what the network layer buffers ahead of the disk, so that a fast server
// and a slow disk cannot pile the file up in memory.
constexpr qint64 ReadBufferSize = 1024 * 1024;

const char WriteFailure[] = "Failed to write destination file.";

} // namespace

int DownloadAgent::m_transferTimeout = QNetworkRequest::DefaultTransferTimeoutConstant;

QString httpStatusFailure(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return QString();
    const int code = status.toInt();
    if (code == 200 || code == 203)
        return QString();
    const QString phrase = QString::fromLatin1(
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
    return QStringLiteral("HTTP status %1 %2").arg(code).arg(phrase).trimmed();
}

DownloadAgent::DownloadAgent(QObject *parent)
    : QObject(parent)
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_network.setTransferTimeout(m_transferTimeout);
}

DownloadAgent::~DownloadAgent()
{
    clearAnyRequests();
}

QVector<QByteArray> DownloadAgent::digests() const
{
    return m_digests;
}

int DownloadAgent::transferTimeout()
{
    return m_transferTimeout;
}

void DownloadAgent::setTransferTimeoutForTesting(int msecs)
{
    m_transferTimeout = msecs;
}

void DownloadAgent::setMaximumFileSize(qint64 bytes)
{
    m_maximumFileSize = bytes;
}

void DownloadAgent::download(const DownloadRequest &request)
{
    download(std::vector<DownloadRequest>{request});
}

void DownloadAgent::download(const std::vector<DownloadRequest> &requests)
{
    if (!m_requests.empty()) {
        qCritical() << "Already active.";
        return;
    }
    clearAnyRequests();
    m_requests = requests;
    m_digests.clear();
    m_current = -1;
    startNextRequest();
}

void DownloadAgent::abort()
{
    clearAnyRequests();
}

void DownloadAgent::startNextRequest()
{
    ++m_current;
    if (m_current >= int(m_requests.size())) {
        stopWithSuccess();
        return;
    }

    const DownloadRequest &request = m_requests[size_t(m_current)];
    qDebug() << "DownloadAgent: Downloading:";
    qDebug() << "  from " << request.url;
    qDebug() << "  to " << request.filePath;

    // Unbuffered, so that every failed write shows at once, not at close.
    m_file = std::make_unique<QFile>(request.filePath);
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        stopWithFailure(QStringLiteral("Failed to open destination file."));
        return;
    }

    m_written = 0;
    m_hash.reset();
    m_sslErrors.clear();
    m_reply = m_network.get(QNetworkRequest(request.url));
    m_reply->setReadBufferSize(ReadBufferSize);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownloadAgent::onReplyAvailable);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadAgent::onReplyProgress);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &DownloadAgent::onReplyError);
    // Only noted, for the failure's reason: a certificate that is not trusted fails the download.
    connect(m_reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            m_sslErrors.append(error.errorString());
    });
    connect(m_reply, &QNetworkReply::finished, this, &DownloadAgent::onReplyComplete);
}

void DownloadAgent::onReplyAvailable()
{
    const QString tooLarge = sizeLimitFailure();
    if (!tooLarge.isEmpty())
        stopWithFailure(tooLarge);
    else if (!writeAvailable())
        stopWithFailure(QString::fromLatin1(WriteFailure));
}

bool DownloadAgent::writeAvailable()
{
    const QByteArray data = m_reply->readAll();
    // An error page must not end up in the file as if it were the component; the
    // reply itself fails when it ends.
    if (!httpStatusFailure(m_reply).isEmpty())
        return true;
    if (m_file->write(data) != data.size())
        return false;
    m_written += data.size();
    if (m_requests[size_t(m_current)].sha256)
        m_hash.addData(data);
    return true;
}

// Checked before the bytes are written, so that an endless body cannot fill the disk.
QString DownloadAgent::sizeLimitFailure() const
{
    if (m_maximumFileSize <= 0 || m_written + m_reply->bytesAvailable() <= m_maximumFileSize)
        return QString();
    return QStringLiteral("File larger than %1 bytes.").arg(m_maximumFileSize);
}

// Qt 5.15 sometimes reports a body that the server cut off as complete (after it
// has quietly re-sent the request), so the announced length is checked here.
QString DownloadAgent::incompleteBody() const
{
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (!announced.isValid() || announced.toLongLong() == m_written)
        return QString();
    return QStringLiteral("Incomplete download: received %1 of %2 bytes.")
            .arg(m_written)
            .arg(announced.toLongLong());
}

void DownloadAgent::onReplyProgress(qint64 received, qint64 total)
{
    float fraction = 0.0f;
    if (total > 0)
        fraction = float(double(received) / double(total));
    else if (total == 0)
        fraction = 1.0f;
    emit progress(m_current, fraction);
}

void DownloadAgent::onReplyError(QNetworkReply::NetworkError code)
{
    QString reason = httpStatusFailure(m_reply);
    if (reason.isEmpty()) {
        // The agent disconnects before it aborts a reply itself, so a cancelled
        // reply seen here was stopped by the inactivity time-out.
        reason = code == QNetworkReply::OperationCanceledError
                ? QStringLiteral("No data received for %1 seconds.").arg(m_transferTimeout / 1000.0)
                : m_reply->errorString();
        // Qt's own text says only that the handshake failed, not why.
        if (code == QNetworkReply::SslHandshakeFailedError && !m_sslErrors.isEmpty())
            reason += QStringLiteral(": ") + m_sslErrors.join(QStringLiteral("; "));
    }
    stopWithFailure(reason);
}

void DownloadAgent::onReplyComplete()
{
    const QString statusFailure = httpStatusFailure(m_reply);
    if (!statusFailure.isEmpty()) {
        stopWithFailure(statusFailure);
        return;
    }
    const QString tooLarge = sizeLimitFailure();
    if (!tooLarge.isEmpty()) {
        stopWithFailure(tooLarge);
        return;
    }
    if (!writeAvailable() || !closeFile()) {
        stopWithFailure(QString::fromLatin1(WriteFailure));
        return;
    }
    const QString incomplete = incompleteBody();
    if (!incomplete.isEmpty()) {
        stopWithFailure(incomplete);
        return;
    }
    m_digests.append(m_requests[size_t(m_current)].sha256 ? m_hash.result() : QByteArray());
    releaseReply();
    startNextRequest();
}

void DownloadAgent::stopWithSuccess()
{
    clearAnyRequests();
    emit finished();
}

void DownloadAgent::stopWithFailure(const QString &reason)
{
    clearAnyRequests();
    emit failed(reason);
}

void DownloadAgent::clearAnyRequests()
{
    releaseReply();
    closeFile();
    m_requests.clear();
}

void DownloadAgent::releaseReply()
{
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    // A reply that reported an error is finishing already; aborting it again
    // would make it report a second error.
    if (m_reply->isRunning() && m_reply->error() == QNetworkReply::NoError)
        m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

bool DownloadAgent::closeFile()
{
    if (!m_file)
        return true;
    m_file->close();
    const bool written = m_file->error() == QFileDevice::NoError;
    m_file.reset();
    return written;
}

} // namespace OrviPlus
