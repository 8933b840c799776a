#include "http_test_server.h"

#include <QDeadlineTimer>

HttpTestServer::HttpTestServer(const QString &rootPath)
    : m_rootPath(rootPath)
{
}

HttpTestServer::~HttpTestServer()
{
    stop();
}

bool HttpTestServer::start()
{
    // Requests to the test server must not go to a proxy that the environment names.
    QByteArray noProxy = qgetenv("no_proxy");
    if (!noProxy.split(',').contains("127.0.0.1"))
        qputenv("no_proxy", noProxy.isEmpty() ? "127.0.0.1" : noProxy + ",127.0.0.1");

    m_process.setProgram(QStringLiteral(ORVI_PYTHON));
    m_process.setArguments({QStringLiteral(ORVI_TEST_SERVER_SCRIPT), m_rootPath});
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    if (!m_process.waitForStarted(10000))
        return false;

    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && !m_output.contains('\n')) {
        if (!m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        m_output += m_process.readAllStandardOutput();
    }
    const int end = m_output.indexOf('\n');
    if (end < 0 || !m_output.startsWith("PORT "))
        return false;
    m_port = quint16(m_output.mid(5, end - 5).toUInt());
    m_output.remove(0, end + 1);
    return m_port != 0;
}

void HttpTestServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

QUrl HttpTestServer::url(const QString &pathAndQuery) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(pathAndQuery));
}

QStringList HttpTestServer::requests()
{
    // The server logs a request before it answers, so whatever a client has seen
    // answered is in the pipe by now.
    collectOutput(50);
    return m_requests;
}

void HttpTestServer::clearRequests()
{
    collectOutput(50);
    m_requests.clear();
}

void HttpTestServer::collectOutput(int waitMsecs)
{
    m_output += m_process.readAllStandardOutput();
    while (m_process.waitForReadyRead(waitMsecs))
        m_output += m_process.readAllStandardOutput();

    int end;
    while ((end = m_output.indexOf('\n')) >= 0) {
        const QByteArray line = m_output.left(end);
        m_output.remove(0, end + 1);
        if (line.startsWith("REQUEST "))
            m_requests.append(QString::fromUtf8(line.mid(8)));
    }
}
