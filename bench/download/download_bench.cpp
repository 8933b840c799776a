// Downloads one URL to one file through DownloadAgent and reports the time taken
// and how far the resident memory rose above its level before the download.

#include "update/download_agent.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <QUrl>

#include <cstdio>

using namespace OrviPlus;

namespace {

qint64 statusKiB(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(int(qstrlen(name))).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

void resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: download_bench URL FILE\n");
        return 2;
    }
    qInstallMessageHandler(quietMessages);

    DownloadAgent agent;
    QString failure;
    bool done = false;
    QObject::connect(&agent, &DownloadAgent::finished, [&] { done = true; app.quit(); });
    QObject::connect(&agent, &DownloadAgent::failed, [&](const QString &reason) {
        failure = reason;
        app.quit();
    });

    resetPeak();
    const qint64 baseKiB = statusKiB("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    agent.download(DownloadRequest{QUrl(QString::fromLocal8Bit(argv[1])),
                                   QString::fromLocal8Bit(argv[2])});
    if (!done && failure.isEmpty())
        app.exec();
    const qint64 elapsedNs = timer.nsecsElapsed();
    const qint64 peakKiB = statusKiB("VmHWM:");

    if (!done) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(failure));
        return 1;
    }
    std::printf("seconds: %.6f\n", double(elapsedNs) / 1e9);
    std::printf("rss_growth_kib: %lld\n", peakKiB - baseKiB);
    return 0;
}
