#include "update/download_agent.h"

#include "http_test_server.h"
#include "message_log.h"

#include <QFile>
#include <QSignalSpy>
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
    QString reason() const { return failed.value(0).value(0).toString(); }

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
        MessageLog log;
        WatchedAgent run;
        bool secondCompleteAtFinish = false;
        connect(&run.agent, &DownloadAgent::finished, this,
                [&] { secondCompleteAtFinish = downloaded("second.bin") == m_second; });
        // Each request is redirected, to the same port and to the other one, which answers 203.
        const QString otherPort = QUrl::toPercentEncoding(m_server->url("/second.bin?ok=203", 1).toString());
        run.agent.download({request("/old?redirect=/small.bin", "small.bin"),
                            request("/old?redirect=" + otherPort, "second.bin")});
        run.agent.download(request("/large.bin", "large.bin"));
        QCOMPARE(log.count(QStringLiteral("Already active.")), 1);
        QVERIFY(run.settle());
        QVERIFY(secondCompleteAtFinish);
        QCOMPARE(downloaded("small.bin"), m_small);
        QCOMPARE(m_server->takeRequests(), QStringList({"GET /old?redirect=/small.bin", "GET /small.bin",
                                                        "GET /old?redirect=" + otherPort, "GET /second.bin?ok=203"}));

        QList<int> requests;
        for (const QList<QVariant> &report : run.progress)
            requests.append(report.at(0).toInt());
        QVERIFY(requests.first() == 0 && requests.lastIndexOf(0) < requests.indexOf(1));
        QCOMPARE(run.progress.last(), QVariantList({1, 1.0f}));

        QCOMPARE(log.count(QStringLiteral("DownloadAgent: Downloading:")), 2);
    }

    void emptyListAndFailureHandlerStartingTheNextList()
    {
        MessageLog log;
        WatchedAgent run;
        connect(&run.agent, &DownloadAgent::failed, this,
                [&] { run.agent.download(request("/second.bin", "second.bin")); });
        run.agent.download(std::vector<DownloadRequest>());
        QCOMPARE(run.finished.count(), 1);
        QVERIFY(run.progress.isEmpty());
        run.agent.download(request("/missing.bin", "missing.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 2, 15000);
        QCOMPARE(log.count(QStringLiteral("Already active.")), 0);
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
        QVERIFY(fractions[0].size() > 1);
        fractions[0].removeLast();
        QCOMPARE(fractions[0].count(0.0f), fractions[0].size());
    }

    void failureEndsTheListKeepingWhatArrived_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("reason"); // empty: the network layer's own
        QTest::addColumn<int>("kept"); // bytes left in large.bin; -1: fewer than all
        const QString large = QStringLiteral("large.bin");
        QTest::newRow("cut in the middle") << "/large.bin?cut=300000&block=65536" << large << "" << -1;
        QTest::newRow("stall in the middle") << "/large.bin?block=100000&slow=60000" << large
                                             << "No data received for 1 seconds." << 100000;
        QTest::newRow("missing file") << "/missing.bin" << large << "HTTP status 404 Not Found" << 0;
        QTest::newRow("part of the file") << "/large.bin?status=206" << large << "HTTP status 206 Partial Content" << 0;
        QTest::newRow("unopenable destination") << "/large.bin" << "no-such-folder/large.bin"
                                                << "Failed to open destination file." << 0;
        // /dev/full opens like a file and refuses every write as a full disk does.
        QTest::newRow("full disk") << "/large.bin" << "/dev/full" << "Failed to write destination file." << 0;
    }

    void failureEndsTheListKeepingWhatArrived()
    {
        QFETCH(QString, path);
        QFETCH(QString, destination);
        QFETCH(QString, reason);
        QFETCH(int, kept);
        WatchedAgent run;
        run.agent.download({request("/second.bin", "second.bin"), request(path, destination),
                            request("/small.bin", "small.bin")});
        QVERIFY(run.settle());
        QCOMPARE(run.failed.count(), 1);
        QVERIFY(reason.isEmpty() || run.reason() == reason);
        // A server's error page is not taken for the file.
        const QByteArray partial = destination == QLatin1String("large.bin") ? downloaded(destination) : QByteArray();
        QVERIFY(partial.size() < m_large.size() && m_large.startsWith(partial));
        QVERIFY(kept < 0 || partial.size() == kept);
        QCOMPARE(downloaded("second.bin"), m_second);
        QCOMPARE(downloaded("small.bin"), QByteArray("(missing)"));
        // Nothing is asked for after the failure, nor for a destination that cannot be opened.
        const bool opens = !destination.startsWith(QLatin1String("no-such-folder"));
        QCOMPARE(m_server->takeRequests().last(), "GET " + (opens ? path : QStringLiteral("/second.bin")));
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
