// Drives the main window as a user would: emulated devices on the simulated bus, a real
// update server on 127.0.0.1, and dialogs answered from a timer while they are open.
#ifndef WINDOW_TEST_SUPPORT_H
#define WINDOW_TEST_SUPPORT_H

#include "gui/main_window_updater.h"
#include "gui/message_box.h"
#include "settings/configuration_manager.h"
#include "update/update_manager.h"

#include "update_site.h"

#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <memory>
#include <utility>

// What a user sees of the window, read through its widget tree.
class WindowView
{
public:
    explicit WindowView(OrviPlus::MainWindow *window) : m_window(window) {}

    QStackedWidget *pages() const { return m_window->findChild<QStackedWidget *>(); }
    int page() const { return pages()->currentIndex(); }
    QString connectText() const { return qobject_cast<QLabel *>(pages()->widget(0))->text(); }
    QString statusText() const
    {
        return m_window->findChild<QWidget *>(QStringLiteral("deviceInfo"))->findChild<QLabel *>()->text();
    }
    QWidget *logo(int model) const
    {
        return m_window->findChild<QWidget *>(QStringLiteral("statusWidget"))->layout()->itemAt(model)->widget();
    }
    QPushButton *checkButton() const { return pages()->widget(1)->findChildren<QPushButton *>().value(0); }
    QPushButton *startButton() const { return pages()->widget(1)->findChildren<QPushButton *>().value(1); }
    // The text of a message box if shown. Page 1: warning box then check box; page 2: the update box.
    QString shownText(int page, int index = 0) const
    {
        const auto *box = pages()->widget(page)->findChildren<OrviPlus::MessageBox *>().value(index);
        return box->isHidden() ? QString() : box->text();
    }
    QStringList planLines() const
    {
        QStringList lines;
        const QListWidget *list = pages()->widget(1)->findChild<QListWidget *>();
        for (int row = 0; row < list->count(); ++row)
            lines << list->item(row)->text();
        return lines;
    }
    // The texts of the visible labels and buttons, the update list and the menus' actions.
    QStringList shownTexts() const
    {
        QStringList texts = planLines();
        for (QWidget *widget : m_window->findChildren<QWidget *>())
            if (widget->isVisible() && widget->window() == m_window
                && (widget->inherits("QLabel") || widget->inherits("QAbstractButton")))
                texts << widget->property("text").toString();
        for (QAction *action : m_window->findChildren<QAction *>())
            texts << action->text();
        return texts;
    }
    QLabel *updateLabel(int index) const { return pages()->widget(2)->findChildren<QLabel *>().value(index); }
    QProgressBar *bar(int index) const { return pages()->widget(2)->findChildren<QProgressBar *>().value(index); }
    QAction *action(const QString &text) const
    {
        for (QAction *action : m_window->findChildren<QAction *>())
            if (action->text() == text)
                return action;
        return nullptr;
    }

private:
    OrviPlus::MainWindow *m_window;
};

// "Title|Text" of every message box shown, in the order they appeared, and their detailed texts.
class PopUpLog : public QObject
{
public:
    PopUpLog() { qApp->installEventFilter(this); }

    QStringList shown;
    QStringList details;

    // Closes the boxes still open and returns what was shown.
    QStringList take()
    {
        for (QWidget *widget : QApplication::allWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box && box->isVisible())
                box->done(QMessageBox::Ok);
        }
        details.clear();
        return std::exchange(shown, {});
    }

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(object);
        if (box && event->type() == QEvent::Show) {
            shown << box->windowTitle() + QLatin1Char('|') + box->text();
            details << box->detailedText();
        }
        return false;
    }
};

// Answers the first modal dialog of type T that opens while it exists, from inside the
// dialog's own event loop.
template<typename T>
class DialogAnswer
{
public:
    explicit DialogAnswer(std::function<void(T *)> answer)
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this, answer] {
            if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
                m_poll.stop();
                answer(dialog);
            }
        });
        m_poll.start(20);
    }

private:
    QTimer m_poll;
};

// A window over a private settings store that points at the given manifest.
struct WindowUnderTest
{
    explicit WindowUnderTest(const QUrl &manifestUrl, const OrviPlus::DeviceWaits &waits = {})
        : window(waits)
    {
        settings.setUpdateManifestUrl(manifestUrl);
        window.resize(window.sizeHint());
        window.show();
    }
    // True once a manifest check has ended, the one made for the self-update at start first.
    bool checkEnded() const { return checked.count() + failed.count() > 0; }

    OrviPlus::ConfigurationManager settings;
    OrviPlus::MainWindow window;
    WindowView view{&window};
    QSignalSpy checked{window.findChild<OrviPlus::UpdateManager *>(), &OrviPlus::UpdateManager::updateDiscoveryDone};
    QSignalSpy failed{window.findChild<OrviPlus::UpdateManager *>(), &OrviPlus::UpdateManager::failure};
};

// A window for a device already plugged, once it shows the device's page and the
// self-update check at start, which shares the update manager, is over.
inline std::unique_ptr<WindowUnderTest> windowOnDevicePage(const QUrl &manifest,
                                                           const OrviPlus::DeviceWaits &waits = {})
{
    auto test = std::make_unique<WindowUnderTest>(manifest, waits);
    if (!QTest::qWaitFor([&] { return test->view.page() == 1 && test->checkEnded(); }, 15000))
        qWarning("The device page did not open");
    return test;
}

#endif // WINDOW_TEST_SUPPORT_H
