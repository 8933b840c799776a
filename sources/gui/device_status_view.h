#ifndef ORVI_DEVICE_STATUS_VIEW_H
#define ORVI_DEVICE_STATUS_VIEW_H

#include "device/device_info.h"

#include <QWidget>

QT_BEGIN_NAMESPACE
class QLabel;
QT_END_NAMESPACE

namespace OrviPlus {

// Centred lines naming the connected device and the versions of its components.
class DeviceStatusView : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)

public:
    explicit DeviceStatusView(QWidget *parent = nullptr);

    QString text() const;
    void setText(const QString &text);

    void setInfo(const DeviceInfo &info);

private:
    QLabel *m_label = nullptr;
};

} // namespace OrviPlus

#endif // ORVI_DEVICE_STATUS_VIEW_H
