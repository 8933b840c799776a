#include "update/download_agent.h"

#include "http_test_server.h"
#include "test_certificates.h"

#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace OrviPlus;

namespace {

QByteArray pattern(int size, int salt)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + salt + i / 251) & 0xff);
    return data;
}

struct WatchedAgent
{
    // Waits for the first outcome; true if exactly one came.
    bool settle()
    {
        if (QTest::qWaitFor([this] { return finished.count() + failed.count() > 0; }, 15000))
            QTest::qWait(50); // a second outcome would come now
        return finished.count() + failed.count() == 1;
    }

    DownloadAgent agent;
    QSignalSpy finished{&agent, &DownloadAgent::finished};
    QSignalSpy failed{&agent, &DownloadAgent::failed};
    QSignalSpy progress{&agent, &DownloadAgent::progress};
};

} // namespace

class TestDownloadAgent : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QList<QPair<QString, QByteArray>> files = {
                {"small.bin", m_small}, {"second.bin", m_second}, {"large.bin", m_large}, {"empty.bin", {}}};
        for (const auto &file : files) {
            QFile out(m_serverRoot.filePath(file.first));
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
        }
        DownloadAgent::setTransferTimeoutForTesting(1000);
        m_server = std::make_unique<HttpTestServer>(m_serverRoot.path());
        QVERIFY(m_server->started());
    }

    void init()
    {
        QDir(m_downloads.path()).removeRecursively();
        QDir().mkpath(m_downloads.path());
        m_server->takeRequests();
    }

    void listIsDownloadedInOrderWhileOthersAreRefused()
    {
        WatchedAgent run;
        bool secondCompleteAtFinish = false;
        connect(&run.agent, &DownloadAgent::finished, this,
                [&] { secondCompleteAtFinish = downloaded("second.bin") == m_second; });
        // Each request is redirected, to the same port and to the other one, which answers 203.
        const QString otherPort = QUrl::toPercentEncoding(m_server->url("/second.bin?ok=203", 1).toString());
        run.agent.download({request("/old?redirect=/small.bin", "small.bin"),
                            request("/old?redirect=" + otherPort, "second.bin")});
        run.agent.download(request("/large.bin", "large.bin")); // refused: nothing asks for it below
        QVERIFY(run.settle());
        QVERIFY(secondCompleteAtFinish);
        QCOMPARE(downloaded("small.bin"), m_small);
        QCOMPARE(m_server->takeRequests(), QStringList({"GET /old?redirect=/small.bin", "GET /small.bin",
                                                        "GET /old?redirect=" + otherPort, "GET /second.bin?ok=203"}));
    }

    void emptyListAndFailureHandlerStartingTheNextList()
    {
        WatchedAgent run;
        connect(&run.agent, &DownloadAgent::failed, this,
                [&] { run.agent.download(request("/second.bin", "second.bin")); });
        run.agent.download(std::vector<DownloadRequest>());
        QCOMPARE(run.finished.count(), 1);
        QVERIFY(run.progress.isEmpty());
        run.agent.download(request("/missing.bin", "missing.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 2, 15000);
        QCOMPARE(downloaded("second.bin"), m_second);
    }

    void progressWithUnknownOrZeroTotal()
    {
        // Pauses shorter than the inactivity time-out, adding up to more than it.
        WatchedAgent run;
        run.agent.download({request("/large.bin?nolength=1&block=700000&slow=400", "large.bin"),
                            request("/empty.bin", "empty.bin")});
        QVERIFY(run.settle());
        QCOMPARE(downloaded("large.bin"), m_large);
        QCOMPARE(downloaded("empty.bin"), QByteArray());

        QList<float> fractions[2];
        for (const QList<QVariant> &report : run.progress)
            fractions[report.at(0).toInt()].append(report.at(1).toFloat());
        QVERIFY(fractions[1].contains(1.0f));
        // Every report while data still arrives has no total to divide by.
        const QList<float> arriving = fractions[0].mid(0, fractions[0].size() - 1);
        QVERIFY(!arriving.isEmpty() && arriving.count(0.0f) == arriving.size());
    }

    void failureEndsTheListKeepingWhatArrived()
    {
        // Bytes left in large.bin, -1 for fewer than all; no reason: the network layer's own.
        const struct { const char *path, *destination, *reason; int kept; } cases[] = {
                {"/large.bin?cut=300000&block=65536", "large.bin", "", -1},
                {"/large.bin?block=100000&slow=60000", "large.bin", "No data received for 1 seconds.", 100000},
                {"/large.bin?status=206", "large.bin", "HTTP status 206 Partial Content", 0},
                {"/large.bin", "no-such-folder/large.bin", "Failed to open destination file.", 0},
                // /dev/full opens like a file and refuses every write as a full disk does.
                {"/large.bin", "/dev/full", "Failed to write destination file.", 0}};
        for (const auto &[path, destination, reason, kept] : cases) {
            init();
            WatchedAgent run;
            run.agent.download({request("/second.bin", "second.bin"), request(path, destination),
                                request("/small.bin", "small.bin")});
            QVERIFY2(run.settle() && run.failed.count() == 1, path);
            QVERIFY(!*reason || run.failed.value(0).value(0).toString() == reason);
            // A server's error page is not taken for the file.
            const QByteArray partial = QByteArray(destination) == "large.bin" ? downloaded(destination) : QByteArray();
            QVERIFY(partial.size() < m_large.size() && m_large.startsWith(partial));
            QVERIFY(kept < 0 || partial.size() == kept);
            QCOMPARE(downloaded("second.bin"), m_second);
            QCOMPARE(downloaded("small.bin"), QByteArray("(missing)"));
            // Nothing is asked for after the failure, nor for a destination that cannot be opened.
            const bool opens = !QLatin1String(destination).startsWith(QLatin1String("no-such-folder"));
            QCOMPARE(m_server->takeRequests().last(), "GET " + QLatin1String(opens ? path : "/second.bin"));
        }
    }

    void httpsOnlyWithATrustedCertificate()
    {
        const TestCertificates certificates;
        QVERIFY(certificates.made());
        HttpTestServer server(m_serverRoot.path(), certificates.certificatePath(), certificates.keyPath());
        QVERIFY(server.started());
        const QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();
        const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(systemDefault); });
        for (const bool trusted : {false, true}) {
            QSslConfiguration configuration = systemDefault;
            if (trusted)
                configuration.addCaCertificates(certificates.authority());
            QSslConfiguration::setDefaultConfiguration(configuration);
            init();
            WatchedAgent run;
            run.agent.download(DownloadRequest{server.url("/second.bin"), m_downloads.filePath("second.bin"), true});
            QVERIFY(run.settle());
            QCOMPARE(run.finished.count(), int(trusted));
            if (trusted) {
                QCOMPARE(downloaded("second.bin"), m_second);
                QCOMPARE(run.agent.digests(), {QCryptographicHash::hash(m_second, QCryptographicHash::Sha256)});
            } else {
                const QString reason = run.failed.value(0).value(0).toString();
                QVERIFY2(reason.contains(QLatin1String("certificate"), Qt::CaseInsensitive), qPrintable(reason));
            }
            // Nothing is asked for over a connection the program does not trust.
            QCOMPARE(server.takeRequests(), trusted ? QStringList("GET /second.bin") : QStringList());
        }
    }

private:
    DownloadRequest request(const QString &pathAndQuery, const QString &file) const
    {
        return DownloadRequest{m_server->url(pathAndQuery), QDir(m_downloads.path()).filePath(file)};
    }
    QByteArray downloaded(const QString &name) const
    {
        QFile file(m_downloads.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    }

    QTemporaryDir m_serverRoot;
    QTemporaryDir m_downloads;
    std::unique_ptr<HttpTestServer> m_server;
    QByteArray m_small = pattern(100 * 1000, 1);
    QByteArray m_second = pattern(54321, 2);
    QByteArray m_large = pattern(2 * 1024 * 1024, 3);
};

QTEST_GUILESS_MAIN(TestDownloadAgent)
#include "tst_download_agent.moc"
