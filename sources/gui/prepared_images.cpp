#include "gui/prepared_images.h"

#include <QColor>
#include <QPainter>
#include <QResource>

#include <cstdint>
#include <cstring>

namespace OrviPlus {

QImage sidePanelDeviceLogo(const QImage &drawing)
{
    // The band that holds the instrument and its model name.
    const QRect modelBand(100, 290, 800, 310);
    return drawing.copy(modelBand).scaledToWidth(200, Qt::SmoothTransformation);
}

// Dimmed with a dark red veil so that it does not compete with the device logos.
QImage sidePanelMakerLogo(const QImage &drawing)
{
    // The drawing has a palette, which a painter cannot draw on.
    QImage logo = drawing.scaledToWidth(100, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&logo);
    painter.fillRect(logo.rect(), QColor(15, 0, 0, 150));
    painter.end();
    return logo;
}

QByteArray rawPicture(const QImage &image)
{
    const QImage pixels = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const std::uint32_t size[2] = {std::uint32_t(pixels.width()), std::uint32_t(pixels.height())};
    QByteArray raw(reinterpret_cast<const char *>(size), sizeof size);
    for (int y = 0; y < pixels.height(); ++y)
        raw.append(reinterpret_cast<const char *>(pixels.constScanLine(y)), pixels.width() * 4);
    return raw;
}

QImage pictureFromRaw(const QByteArray &raw)
{
    std::uint32_t size[2];
    if (std::size_t(raw.size()) < sizeof size)
        return QImage();
    std::memcpy(size, raw.constData(), sizeof size);
    if (size[0] == 0 || size[1] == 0 || size[0] > 4096 || size[1] > 4096
        || std::size_t(raw.size()) != sizeof size + std::size_t(size[0]) * size[1] * 4)
        return QImage();
    QImage image{int(size[0]), int(size[1]), QImage::Format_ARGB32_Premultiplied};
    const char *row = raw.constData() + sizeof size;
    for (int y = 0; y < image.height(); ++y, row += image.width() * 4)
        std::memcpy(image.scanLine(y), row, std::size_t(image.width()) * 4);
    return image;
}

QImage preparedPicture(const QString &name)
{
    // Stored uncompressed (CMakeLists.txt): the pixels are read where the program's binary holds them.
    const QResource resource(QStringLiteral(":/images/prepared/") + name);
    if (!resource.isValid() || resource.compressionAlgorithm() != QResource::NoCompression)
        return QImage();
    return pictureFromRaw(
            QByteArray::fromRawData(reinterpret_cast<const char *>(resource.data()), int(resource.size())));
}

} // namespace OrviPlus
