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
    QString text = QStringLiteral("%1 Connected\n\n").arg(modelName(info.model));
    for (const auto &[component, version] : deviceVersionTexts(info))
        text += QStringLiteral("%1:   %2\n").arg(component, version);
    m_label->setText(text);
}

} // namespace OrviPlus
