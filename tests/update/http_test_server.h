#ifndef ORVI_HTTP_TEST_SERVER_H
#define ORVI_HTTP_TEST_SERVER_H

#include <QProcess>
#include <QUrl>

// emulator/demo/update_server.py serving one folder on two free ports of 127.0.0.1; killed with the object.
// Given a certificate and its key (PEM files), both ports speak TLS.
class HttpTestServer
{
public:
    explicit HttpTestServer(const QString &rootPath, const QString &certificatePath = QString(),
                            const QString &keyPath = QString())
        : m_tls(!certificatePath.isEmpty())
    {
        qputenv("no_proxy", "127.0.0.1"); // whatever proxy the environment names
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments = {QStringLiteral(ORVI_TEST_SERVER_SCRIPT), rootPath};
        if (m_tls)
            arguments << QStringLiteral("--tls") << certificatePath << keyPath;
        m_process.start(QStringLiteral(ORVI_PYTHON), arguments);
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_ports = QString::fromLatin1(m_process.readLine()).simplified().split(QLatin1Char(' ')).mid(1);
    }
    ~HttpTestServer()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool started() const { return m_ports.size() == 2; }
    QUrl url(const QString &pathAndQuery, int portIndex = 0) const
    {
        const QString scheme = m_tls ? QStringLiteral("https") : QStringLiteral("http");
        return QUrl(scheme + QStringLiteral("://127.0.0.1:") + m_ports.value(portIndex) + pathAndQuery);
    }
    // "METHOD /path?query" of every request since the last call, in arrival order. The server
    // logs a request before it answers it, so all that a client has seen answered are there.
    QStringList takeRequests()
    {
        while (m_process.waitForReadyRead(50)) {
        }
        QStringList requests;
        while (m_process.canReadLine())
            requests.append(QString::fromUtf8(m_process.readLine().mid(8).trimmed()));
        return requests;
    }

private:
    bool m_tls;
    QProcess m_process;
    QStringList m_ports;
};

#endif // ORVI_HTTP_TEST_SERVER_H
