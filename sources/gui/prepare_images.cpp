// Build tool: prepare_images DRAWINGS_DIR OUTPUT_DIR writes the window's icon and the side
// panel's pictures, made from the drawings in images/, in the raw form the program embeds.
#include "gui/prepared_images.h"

#include <QDir>
#include <QFile>
#include <QImage>

#include <cstdio>

namespace {

QImage asDrawn(const QImage &drawing)
{
    return drawing;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DRAWINGS_DIR OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QDir drawings(QString::fromLocal8Bit(argv[1]));
    const QDir output(QString::fromLocal8Bit(argv[2]));
    if (!output.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot make %s\n", argv[2]);
        return 1;
    }
    const struct
    {
        const char *drawing;
        const char *picture;
        QImage (*prepare)(const QImage &);
    } pictures[] = {{"updater_icon_256.png", "updater_icon", asDrawn},
                    {"orvi_logo_orig.png", "orvi_logo_orig", OrviPlus::sidePanelDeviceLogo},
                    {"orvi_logo_plus.png", "orvi_logo_plus", OrviPlus::sidePanelDeviceLogo},
                    {"brevanto_logo.png", "brevanto_logo", OrviPlus::sidePanelMakerLogo}};
    for (const auto &picture : pictures) {
        const QImage drawing(drawings.filePath(QString::fromLatin1(picture.drawing)));
        QFile file(output.filePath(QString::fromLatin1(picture.picture)));
        if (drawing.isNull() || !file.open(QIODevice::WriteOnly)
            || file.write(OrviPlus::rawPicture(picture.prepare(drawing))) < 0 || !file.flush()) {
            std::fprintf(stderr, "cannot prepare %s\n", picture.drawing);
            return 1;
        }
    }
    return 0;
}
