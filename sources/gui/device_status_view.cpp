#include "gui/device_status_view.h"

#include "engine/version_text.h"

#include <QHBoxLayout>
#include <QLabel>

namespace OrviPlus {

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
    //: %1 is the device's model, Orvi or Orvi+.
    QString text = tr("%1 Connected").arg(modelName(info.model)) + QStringLiteral("\n\n");
    for (const auto &[component, version] : deviceVersionTexts(info))
        //: A part of the device and its version, "MCU:   Production 1.4".
        text += tr("%1:   %2").arg(component, version) + QLatin1Char('\n');
    m_label->setText(text);
}

} // namespace OrviPlus
