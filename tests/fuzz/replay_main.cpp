/*
 * Runs a fuzz target over stored inputs without libFuzzer:
 *   orvi-fuzz-replay TARGET FOLDER
 * Every file in the folder goes through the target once; a broken rule aborts with the
 * file's name printed just before.
 */
#include "fuzz_targets.h"

#include <QDir>
#include <QFile>
#include <QMap>

int main(int argc, char** argv)
{
    const QMap<QString, int (*)(const uint8_t*, size_t)> targets = {
        {"manifest", fuzzManifest}, {"transfer", fuzzTransfer}, {"replies", fuzzReplies}, {"version", fuzzVersion},
        {"signature", fuzzSignature}};
    const auto target = targets.value(argc == 3 ? argv[1] : "");
    const QFileInfoList inputs = QDir(argc == 3 ? argv[2] : "").entryInfoList(QDir::Files, QDir::Name);
    if (target == nullptr || inputs.isEmpty()) {
        std::fprintf(stderr, "usage: %s manifest|transfer|replies|version|signature FOLDER (not empty)\n", argv[0]);
        return 2;
    }
    for (const QFileInfo& input : inputs) {
        std::fprintf(stderr, "%s\n", qPrintable(input.filePath()));
        QFile file(input.filePath());
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray bytes = file.readAll();
        target(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
    }
    std::fprintf(stderr, "%d inputs passed\n", int(inputs.size()));
    return 0;
}
