/* The manifest parser: any document parses or fails cleanly, and every component it files
 * is one the format allows under its product. */
#include "fuzz_targets.h"

#include "update/update_manifest.h"

#include <QBuffer>
#include <QByteArray>

using namespace OrviPlus;

int fuzzManifest(const uint8_t* data, size_t size)
{
    silenceOutput();
    QByteArray document = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    QBuffer input(&document);
    input.open(QIODevice::ReadOnly);
    UpdateManifestParser parser;
    if (!parser.parse(&input))
        return 0;

    const ComponentMap& components = parser.components();
    for (auto product = components.begin(); product != components.end(); ++product) {
        const bool forDevice = product.key() == DeviceOrvi || product.key() == DeviceOrviPlus;
        FUZZ_CHECK(forDevice || product.key() == UpdaterApp || product.key() == ManagerApp);
        for (const Component& component : product.value()) {
            const int type = int(component.type);
            FUZZ_CHECK(forDevice ? type >= 0 && type <= 3 : type == 4 || type == 5);
            FUZZ_CHECK(!component.version.isEmpty() && !component.releaseDate.isEmpty());
            FUZZ_CHECK(!component.url.isEmpty() && component.filePath.isEmpty() && component.size == 0);
        }
    }
    return 0;
}
