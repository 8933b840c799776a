#ifndef ORVI_PREPARED_IMAGES_H
#define ORVI_PREPARED_IMAGES_H

#include <QByteArray>
#include <QImage>

namespace OrviPlus {

// The window's icon and the side panel's pictures: a band of the large device drawings in
// images/ and a dimmed maker logo. Decoding and scaling the drawings cost more than everything
// else the window does before it shows, so the build makes the pictures with these
// (prepare_images.cpp) and stores them as raw pixels under :/images/prepared/, which the
// program reads without decoding anything.
QImage sidePanelDeviceLogo(const QImage &drawing);
QImage sidePanelMakerLogo(const QImage &drawing);

// Raw form: width and height as two native 32-bit integers, then premultiplied ARGB32 rows.
QByteArray rawPicture(const QImage &image);
QImage pictureFromRaw(const QByteArray &raw); // a null image if raw is not one
QImage preparedPicture(const QString &name); // from :/images/prepared/, null if missing

} // namespace OrviPlus

#endif // ORVI_PREPARED_IMAGES_H
