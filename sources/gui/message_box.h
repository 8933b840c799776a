#ifndef ORVI_MESSAGE_BOX_H
#define ORVI_MESSAGE_BOX_H

#include <QWidget>

QT_BEGIN_NAMESPACE
class QLabel;
QT_END_NAMESPACE

namespace OrviPlus {

// An in-window message area: one text on a background whose colour tells
// information, warning or error apart; hidden while it has nothing to say.
class MessageBox : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int mode READ mode WRITE setMode)
    Q_PROPERTY(QString text READ text WRITE setText)

public:
    // Values of the mode property; any other value hides the box like Hidden.
    enum Mode { Hidden = 0, Information = 1, Warning = 2, Error = 3 };

    explicit MessageBox(QWidget *parent = nullptr);

    int mode() const;
    void setMode(int mode);

    QString text() const;
    // Changes neither the mode nor the visibility.
    void setText(const QString &text);

    void info(const QString &text);
    void warning(const QString &text);
    void error(const QString &text);
    void clear();

private:
    int m_mode = Hidden;
    QLabel *m_label = nullptr;
};

} // namespace OrviPlus

#endif // ORVI_MESSAGE_BOX_H
