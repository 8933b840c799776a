#include "gui/message_box.h"

#include <QLabel>
#include <QVBoxLayout>

namespace OrviPlus {

namespace {

QColor modeColor(int mode)
{
    switch (mode) {
    case MessageBox::Information:
        return QColor(200, 230, 255, 230);
    case MessageBox::Warning:
        return QColor(255, 225, 120, 230);
    default:
        return QColor(255, 180, 180, 230);
    }
}

} // namespace

MessageBox::MessageBox(QWidget *parent)
    : QWidget(parent)
    , m_label(new QLabel)
{
    m_label->setWordWrap(true);
    m_label->setMargin(10);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_label);
}

int MessageBox::mode() const
{
    return m_mode;
}

void MessageBox::setMode(int mode)
{
    m_mode = mode;
    if (mode == Information || mode == Warning || mode == Error) {
        // The label has no palette of its own, so it paints its background
        // with the brush set here.
        m_label->setAutoFillBackground(true);
        QPalette colored = palette();
        colored.setBrush(QPalette::All, QPalette::Window, QBrush(modeColor(mode)));
        setPalette(colored);
        setVisible(true);
    } else {
        m_label->setAutoFillBackground(false);
        setVisible(false);
    }
}

QString MessageBox::text() const
{
    return m_label->text();
}

void MessageBox::setText(const QString &text)
{
    m_label->setText(text);
}

void MessageBox::info(const QString &text)
{
    setMode(Information);
    setText(text);
}

void MessageBox::warning(const QString &text)
{
    setMode(Warning);
    setText(text);
}

void MessageBox::error(const QString &text)
{
    setMode(Error);
    setText(text);
}

void MessageBox::clear()
{
    m_mode = Hidden;
    m_label->setAutoFillBackground(false);
    setVisible(false);
    m_label->clear();
}

} // namespace OrviPlus
