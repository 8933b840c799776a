#ifndef ORVI_DESKTOP_NOTIFIER_H
#define ORVI_DESKTOP_NOTIFIER_H

#include <QObject>
#include <QString>

namespace OrviPlus {

// Shows a message in the desktop's notification area through the freedesktop
// notification service on the session bus. notify() does not wait for the service,
// so a slow bus never holds up the caller; without a session bus or a service the
// message is dropped with one debug line.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    // desktopEntry: the program's desktop entry name, which is also its icon's name
    // in the icon theme.
    explicit DesktopNotifier(const QString &desktopEntry, QObject *parent = nullptr);

    void notify(const QString &summary, const QString &body);

private:
    QString m_desktopEntry;
};

} // namespace OrviPlus

#endif // ORVI_DESKTOP_NOTIFIER_H
