// Times whole update checks of one manifest, until the sizes of all its components are known:
// with no key trusted, and with the key of its signature in the user's trusted-keys folder, so
// that the signature is fetched and verified too. The two kinds alternate (ABBA, after a few
// unmeasured pairs) so that drift of the machine falls on both alike.
//   orvi_manifest_bench MANIFEST_URL PUBLIC_KEY_FILE ROUNDS
// The key is copied in and taken out again; XDG_CONFIG_HOME should name a private folder.

#include "update/trusted_keys.h"
#include "update/update_manager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace OrviPlus;

namespace {

const int kWarmUpPairs = 3;

void quietMessages(QtMsgType, const QMessageLogContext &, const QString &)
{
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc == 4 ? QByteArray(argv[3]).toInt() : 0;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: orvi_manifest_bench MANIFEST_URL PUBLIC_KEY_FILE ROUNDS\n");
        return 2;
    }
    qInstallMessageHandler(quietMessages);
    const QString keyFile = QString::fromLocal8Bit(argv[2]);
    const TrustedKeySources sources = defaultTrustedKeySources();
    const QString trustedCopy = sources.userFolder + QStringLiteral("/bench.pub");
    QDir().mkpath(sources.userFolder);

    UpdateManager manager;
    manager.setManifestUrl(QUrl(QString::fromLocal8Bit(argv[1])));
    QEventLoop loop;
    bool done = false;
    QString failure;
    QObject::connect(&manager, &UpdateManager::updateDiscoveryDone, [&] {
        done = true;
        loop.quit();
    });
    QObject::connect(&manager, &UpdateManager::failure, [&] {
        done = true;
        failure = manager.failureReason();
        loop.quit();
    });

    // Milliseconds of one check, or -1 when it did not succeed as the kind asked for.
    const auto timeCheck = [&](bool signedCheck) {
        QFile::remove(trustedCopy);
        if (signedCheck)
            QFile::copy(keyFile, trustedCopy);
        // A key built in or in the system folder would make every check a signed one.
        if (loadTrustedKeys(sources).size() != (signedCheck ? 1 : 0)) {
            failure = QStringLiteral("the trusted keys are not the benchmark's alone");
            return -1.0;
        }
        done = false;
        QElapsedTimer timer;
        timer.start();
        manager.check();
        if (!done)
            loop.exec();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        return failure.isEmpty() ? ms : -1.0;
    };

    std::vector<double> unsignedMs;
    std::vector<double> signedMs;
    for (int pair = -kWarmUpPairs; pair < rounds; ++pair) {
        for (const bool signedCheck : {pair % 2 != 0, pair % 2 == 0}) {
            const double ms = timeCheck(signedCheck);
            if (ms < 0) {
                std::fprintf(stderr, "%s check failed: %s\n", signedCheck ? "signed" : "unsigned",
                             qPrintable(failure));
                return 1;
            }
            if (pair >= 0)
                (signedCheck ? signedMs : unsignedMs).push_back(ms);
        }
    }
    QFile::remove(trustedCopy);

    const double unsignedMedian = median(unsignedMs);
    const double signedMedian = median(signedMs);
    std::printf("manifest.check_unsigned_ms: %.3f\n", unsignedMedian);
    std::printf("manifest.check_signed_ms: %.3f\n", signedMedian);
    std::printf("manifest.verify_ms: %.3f\n", signedMedian - unsignedMedian);
    return 0;
}
