#include "gui/application_setup.h"

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

    // Without a runtime folder (the single-instance test covers the lock in one). The test runs
    // with a private TMPDIR, so this also checks that it is honoured.
    void lockFolderBelongsToTheUser()
    {
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QByteArray());
        const QString temporary = QDir::tempPath();
        const QString fallback = temporary + QStringLiteral("/orvi-updater-") + QString::number(geteuid());
        QTemporaryDir elsewhere;
        // A link lying where the private folder goes sends the lock to the temporary folder itself.
        for (bool linkInTheWay : {false, true}) {
            QDir(fallback).removeRecursively();
            QFile::remove(fallback);
            QVERIFY(!linkInTheWay || QFile::link(elsewhere.path(), fallback));
            QCOMPARE(singleInstanceLockPath(), (linkInTheWay ? temporary : fallback)
                                                       + QStringLiteral("/brevanto_orvi_updater_single_instance_lock"));
            if (!linkInTheWay)
                QCOMPARE(QFileInfo(fallback).permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        }
        QFile::remove(fallback);
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    }
};

QTEST_MAIN(ApplicationSetupTest)
#include "tst_application_setup.moc"
