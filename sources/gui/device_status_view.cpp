#include "gui/device_status_view.h"

#include "engine/version_text.h"

#include <QHBoxLayout>
#include <QLabel>

namespace OrviPlus {

namespace {

QString modelName(int model)
{
    switch (model) {
    case 0:
        return QStringLiteral("Orvi");
    case 1:
        return QStringLiteral("Orvi+");
    default:
        return QString();
    }
}

} // namespace

DeviceStatusView::DeviceStatusView(QWidget *parent)
    : QWidget(parent)
    , m_label(new QLabel)
{
    m_label->setAlignment(Qt::AlignHCenter);

    auto *layout = new QHBoxLayout(this);
    layout->addWidget(m_label);
}

QString DeviceStatusView::text() const
{
    return m_label->text();
}

void DeviceStatusView::setText(const QString &text)
{
    m_label->setText(text);
}

void DeviceStatusView::setInfo(const DeviceInfo &info)
{
    QString text = QStringLiteral("%1 Connected\n\n").arg(modelName(info.model));
    text += QStringLiteral("MCU:   %1\n").arg(firmwareVersionText(info.mcuVersion));
    text += QStringLiteral("DSP:   %1\n").arg(firmwareVersionText(info.dspVersion));
    // Only the Orvi+ carries styles data.
    if (info.model == 1)
        text += QStringLiteral("Styles:   %1\n").arg(hexVersionText(info.stylesVersion));
    text += QStringLiteral("Ensemble:   %1\n").arg(hexVersionText(info.ensembleVersion));
    m_label->setText(text);
}

} // namespace OrviPlus
