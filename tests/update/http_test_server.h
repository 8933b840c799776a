#ifndef ORVI_HTTP_TEST_SERVER_H
#define ORVI_HTTP_TEST_SERVER_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

// test_server.py on 127.0.0.1 at a free port, serving the files of one folder.
// The process is killed when the object goes, so a failing test leaves none behind.
class HttpTestServer
{
public:
    explicit HttpTestServer(const QString &rootPath);
    ~HttpTestServer();

    // Starts the server and waits until it listens; false if it did not come up.
    bool start();
    void stop();

    quint16 port() const { return m_port; }
    // pathAndQuery starts with "/", e.g. "/file.bin?cut=100".
    QUrl url(const QString &pathAndQuery) const;

    // Every request received since the last clearRequests() as "METHOD /path?query",
    // in arrival order.
    QStringList requests();
    void clearRequests();

private:
    void collectOutput(int waitMsecs);

    QString m_rootPath;
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_output;
    QStringList m_requests;
};

#endif // ORVI_HTTP_TEST_SERVER_H
