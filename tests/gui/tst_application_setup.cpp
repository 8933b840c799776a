#include "gui/application_setup.h"

#include <QApplication>
#include <QtTest>

#include "stdout_capture.h"

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>
#include <unistd.h>

using namespace OrviPlus;

class ApplicationSetupTest : public QObject
{
    Q_OBJECT

private slots:
    // Log lines of several threads and the protocol's printed lines, all at once.
    void linesOfManyThreadsStayWhole()
    {
        const int threads = 4, lines = 10000;
        StdoutCapture capture;
        std::vector<std::thread> writers;
        std::atomic<int> waiting{threads};
        QSet<QString> expected{QString()};
        for (int t = 0; t < threads; ++t) {
            const QString format = t == 0 ? QStringLiteral("Sent: %1 kb") : QStringLiteral("thread %1 says %2").arg(t);
            for (int i = 0; i < lines; ++i)
                expected << format.arg(i);
            writers.emplace_back([t, format, &waiting] {
                for (--waiting; waiting > 0;) {
                }
                for (int i = 0; i < lines; ++i) {
                    if (t == 0) {
                        std::printf("Sent: %d kb\n", i);
                        std::fflush(stdout);
                    } else {
                        writeMessageToConsole(QtDebugMsg, QMessageLogContext(), format.arg(i));
                    }
                }
            });
        }
        for (std::thread &writer : writers)
            writer.join();
        const QStringList written = capture.finish().split('\n');
        QCOMPARE(written.size(), threads * lines + 1);
        for (const QString &line : written)
            QVERIFY2(expected.contains(line), qPrintable(line));
    }

    void lockFolderBelongsToTheUser_data()
    {
        QTest::addColumn<bool>("runtime"); // whether XDG_RUNTIME_DIR names a folder
        QTest::addColumn<bool>("fallbackTaken"); // a link lies where the fallback folder goes
        QTest::addColumn<QString>("folder"); // where the lock goes
        QTest::newRow("runtime folder") << true << false << "runtime";
        QTest::newRow("no runtime folder") << false << false << "fallback";
        QTest::newRow("fallback taken by a link") << false << true << "temporary";
    }

    // The test runs with a private TMPDIR, so this also checks that it is honoured.
    void lockFolderBelongsToTheUser()
    {
        QFETCH(bool, runtime);
        QFETCH(bool, fallbackTaken);
        QFETCH(QString, folder);
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        QTemporaryDir own;
        qputenv("XDG_RUNTIME_DIR", runtime ? QFile::encodeName(own.path()) : QByteArray());
        const QString temporary = QDir::tempPath();
        const QString fallback = temporary + QStringLiteral("/orvi-updater-") + QString::number(geteuid());
        QDir(fallback).removeRecursively();
        QFile::remove(fallback);
        QVERIFY(!fallbackTaken || QFile::link(own.path(), fallback));

        const QString lockPath = singleInstanceLockPath();
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
        const QString expected = folder == "runtime" ? own.path() : folder == "fallback" ? fallback : temporary;
        QCOMPARE(lockPath, expected + QStringLiteral("/brevanto_orvi_updater_single_instance_lock"));
        if (folder == "fallback")
            QCOMPARE(QFileInfo(fallback).permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                            | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        QFile::remove(fallback);
    }
};

QTEST_MAIN(ApplicationSetupTest)
#include "tst_application_setup.moc"
