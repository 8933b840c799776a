/*
 * orvi-make-image: writes a firmware or content image of a given version and size, tagged
 * so that an emulated device reports that version once it has installed the image, and
 * prints the file's SHA-256 in hexadecimal for the manifest that lists it.
 */
#include "orvi_image.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool parseComponent(const char* text, OrviSim::Component* component)
{
    for (OrviSim::Component c : {OrviSim::Component::Mcu, OrviSim::Component::Dsp,
                                 OrviSim::Component::Styles, OrviSim::Component::Ensemble}) {
        if (std::strcmp(text, OrviSim::componentName(c)) == 0) {
            *component = c;
            return true;
        }
    }
    return false;
}

bool parseNumber(const char* text, unsigned long long maximum, unsigned long long* value)
{
    if (*text == '\0' || *text == '-' || *text == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    bool isHex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long number = std::strtoull(text, &end, isHex ? 16 : 10);
    if (*end != '\0' || errno != 0 || number > maximum)
        return false;
    *value = number;
    return true;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: orvi-make-image mcu|dsp|styles|ensemble VERSION SIZE OUTPUT\n"
                 "  VERSION  decimal or 0x-hexadecimal (firmware: the version word, e.g. 0x0312)\n"
                 "  SIZE     image bytes, at least %zu (dsp: the bytes its lines encode)\n"
                 "Prints the SHA-256 of the written file.\n",
                 OrviSim::kImageTagSize);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    OrviSim::Component component;
    unsigned long long version = 0;
    unsigned long long size = 0;
    if (argc != 5 || !parseComponent(argv[1], &component)
        || !parseNumber(argv[2], 0xFFFFFFFFull, &version)
        || !parseNumber(argv[3], 0xFFFFFFFFull, &size) || size < OrviSim::kImageTagSize)
        return usage();
    bool firmware = component == OrviSim::Component::Mcu || component == OrviSim::Component::Dsp;
    if (firmware && version > 0xFFFF) {
        std::fprintf(stderr, "orvi-make-image: a firmware version is a 16-bit word\n");
        return 2;
    }
    if (!OrviSim::writeImageFile(argv[4], component, uint32_t(version), std::size_t(size))) {
        std::fprintf(stderr, "orvi-make-image: cannot write %s: %s\n", argv[4], std::strerror(errno));
        return 1;
    }
    QFile written(QFile::decodeName(argv[4]));
    QCryptographicHash digest(QCryptographicHash::Sha256);
    if (!written.open(QIODevice::ReadOnly) || !digest.addData(&written)) {
        std::fprintf(stderr, "orvi-make-image: cannot read back %s\n", argv[4]);
        return 1;
    }
    std::printf("%s\n", digest.result().toHex().constData());
    return 0;
}
