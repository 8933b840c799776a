// The window as a user meets it: devices coming and going, update checks and their plans,
// whole updates on every road and what the device ends up holding, menus, dialogs and the
// self-update check, over the simulated bus and a local server.

#include "device/orvi_device.h"
#include "update/working_folder.h"

#include "gui/application_setup.h"
#include "gui/prepared_images.h"

#include "minisign_tool.h"
#include "platform/private_bus.h"
#include "window_test_support.h"

#include <cerrno>

using namespace OrviPlus;

namespace {

const char kPlusPath[] = "sim-plus";

QString trustedKeyFolder()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Brevanto/trusted-keys");
}

// Takes the desktop's URL openings, so that no browser starts.
class UrlOpenings : public QObject
{
    Q_OBJECT
public:
    UrlOpenings()
    {
        for (const char *scheme : {"http", "file"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "open");
    }
    ~UrlOpenings() override
    {
        for (const char *scheme : {"http", "file"})
            QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    }
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        registerMetaTypes();
        orviSetSectorWaitForTesting(1000000L);
        m_site = std::make_unique<UpdateSite>();
        QVERIFY(m_site->started());
        QVERIFY(writeFile(m_site->path(QStringLiteral("app")), "a new version"));
        QVERIFY(m_sessionBus.serveAs("DBUS_SESSION_BUS_ADDRESS") && m_notifications.start("notifications"));
    }

    void cleanup()
    {
        // Keys trusted by a test stay with it, also when it fails.
        QDir(trustedKeyFolder()).removeRecursively();
        m_device.reset();
        HidSim::reset();
        QCOMPARE(m_popUps.take(), QStringList());
    }

    void startsWithoutDevice()
    {
        m_site->server().takeRequests();
        WindowUnderTest test(m_site->url(QStringLiteral("missing.xml")));
        const WindowView &view = test.view;
        QCOMPARE(test.window.sizeHint(), QSize(750, 500));
        QTRY_COMPARE(view.connectText(), QStringLiteral("Please connect a ORVI device."));
        QCOMPARE(view.page(), 0);
        QCOMPARE(view.statusText(), QStringLiteral("No device connected"));
        QVERIFY(view.logo(0)->isVisible() && view.logo(1)->isVisible());
        // The band of the model name, 800 x 310, at a width of 200, as the build made it from the drawing.
        for (const auto &[model, drawing] : {std::pair(0, "orig"), std::pair(1, "plus")}) {
            const QImage shown = qobject_cast<QLabel *>(view.logo(model))->pixmap(Qt::ReturnByValue).toImage();
            const QImage made = OrviPlus::sidePanelDeviceLogo(QImage(
                    qEnvironmentVariable("ORVI_SOURCE_DIR") + QStringLiteral("/images/orvi_logo_%1.png").arg(drawing)));
            QCOMPARE(shown.size(), QSize(200, 78));
            QCOMPARE(shown.convertToFormat(QImage::Format_ARGB32_Premultiplied),
                     made.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        }
        QVERIFY(!view.startButton()->isEnabled());

        // The automatic check at start fails quietly; one asked for from the menu does not.
        QTRY_VERIFY(test.checkEnded());
        QTest::qWait(200);
        QCOMPARE(m_site->server().takeRequests(), QStringList{QStringLiteral("GET /missing.xml")});
        QCOMPARE(m_popUps.shown, QStringList());
        view.action(QStringLiteral("Check for New Version of Orvi Updater"))->trigger();
        QTRY_COMPARE(m_popUps.shown, QStringList{QStringLiteral("|Failed to check for new version of Orvi Updater.")});
        m_popUps.take();

        // The Advanced menu opens at the pointer even without a device; only its install entries are off.
        test.window.activateWindow();
        QTRY_VERIFY(QApplication::activeWindow() == &test.window);
        QTest::keyClick(&test.window, Qt::Key_A, Qt::MetaModifier);
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        QMenu *advanced = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QCOMPARE(advanced->title(), QStringLiteral("Advanced"));
        QVERIFY(!view.action(QStringLiteral("List All Components"))->isEnabled());
        QVERIFY(view.action(QStringLiteral("Set Manifest URL..."))->isEnabled());
        advanced->close();
    }

    void deviceArrival()
    {
        // Model, the errno of a failed open (0: it opens), and the status text then shown.
        const std::tuple<int, int, QString> cases[] = {
                {0, 0, "Orvi Connected\n\nMCU:   Production 1.2\nDSP:   Production 1.1\nEnsemble:   0x5\n"},
                {1, 0, "Orvi+ Connected\n\nMCU:   Production 1.2\nDSP:   Production 1.1\nStyles:   0x2\n"
                       "Ensemble:   0x5\n"},
                {1, ENOENT, "No device connected"},
                {1, EACCES, "No device connected"}};
        for (const auto &[model, openError, status] : cases) {
            const bool opens = openError == 0;
            cleanup();
            WindowUnderTest test(m_site->url(QStringLiteral("missing.xml")));
            const WindowView &view = test.view;
            // The device answers the handshake slowly, so the waiting texts can be seen.
            auto device = plugDevice(model, kPlusPath, {0x0312, 0x0311, 2, 5});
            device->setReplyDelayMs(600);
            device->setOpenRefused(!opens, openError);
            if (opens) {
                QTRY_COMPARE(view.connectText(), QStringLiteral("Waiting for the ORVI device to get ready..."));
                QCOMPARE(view.statusText(), QStringLiteral("Waiting..."));
                QTRY_COMPARE(view.page(), 1);
                QCOMPARE(view.statusText(), status);
                QCOMPARE(view.logo(0)->isVisible(), model == 0);
                QCOMPARE(view.logo(1)->isVisible(), model == 1);
                QVERIFY(view.action(QStringLiteral("Install DSP Firmware..."))->isEnabled());
            } else {
                QTRY_COMPARE(m_popUps.shown,
                             QStringList{QStringLiteral("Connection Failure|Failed to connect to device.")});
                // Only a node the user may not open is worth the advice about the udev rule.
                const QString details = m_popUps.details.value(0);
                QCOMPARE(details.contains(kPlusPath) && details.contains("udev rule"), openError == EACCES);
                m_popUps.take();
                QCOMPARE(view.page(), 0);
                QCOMPARE(view.connectText(), QStringLiteral("Please connect a ORVI device."));
                QCOMPARE(view.statusText(), status);
            }
        }
    }

    void checkingPlansUpdates()
    {
        // Served: MCU 3.1.4 of 1 byte, DSP 3.1.2 of 1025 bytes of text, styles 0x104 of 70000, ensemble 260 of 30000.
        const QStringList all = {QStringLiteral("MCU Firmware: Version Production 1.4, Size 1 KB"),
                                 QStringLiteral("DSP Firmware: Version Production 1.2, Size 2 KB"),
                                 QStringLiteral("Styles: Version 0x104, Size 69 KB"),
                                 QStringLiteral("Ensemble Audio: Version 0x104, Size 30 KB")};
        const QString limit = QStringLiteral("WARNING:\nAn MCU update is available but your current MCU firmware cannot "
                                             "be updated by USB. It must be programmed directly into the MCU.");
        // The device's MCU (its DSP 3.1.2, styles 0x105, ensemble 0x104), whether all components are listed, the
        // plan and the warning: an MCU too old for USB beside differing styles, and every component listed.
        const std::tuple<uint16_t, bool, QStringList, QString> cases[] = {{0x0063, false, {all[2]}, limit},
                                                                          {0x0314, true, all, QString()}};
        // A slow manifest, so that the check can be seen in progress.
        QUrl manifest = m_site->publish("ORVI+", {{OrviSim::Component::Mcu, 0x0314, 1, QStringLiteral("3.1.4")},
                                                  {OrviSim::Component::Dsp, 0x0312, 205, QStringLiteral("3.1.2")},
                                                  {OrviSim::Component::Styles, 0x0104, 70000, QStringLiteral("0x0104")},
                                                  {OrviSim::Component::Ensemble, 0x0104, 30000, QStringLiteral("260")}});
        manifest.setQuery(QStringLiteral("delay=400"));
        MinisignTool minisign;
        const QByteArray publicKey = minisign.makeKey(QStringLiteral("publisher"));
        const QString keyFolder = trustedKeyFolder();
        for (const auto &[deviceMcu, listAll, plan, warning] : cases) {
            cleanup();
            plugDevice(1, kPlusPath, {deviceMcu, 0x0312, 0x0105, 0x0104});
            auto test = windowOnDevicePage(manifest);
            const WindowView &view = test->view;

            if (listAll)
                view.action(QStringLiteral("List All Components"))->trigger();
            else
                QTest::mouseClick(view.checkButton(), Qt::LeftButton);
            QTRY_VERIFY(!view.checkButton()->isEnabled());
            QVERIFY(!view.action(QStringLiteral("Check for New Version of Orvi Updater"))->isEnabled());
            QVERIFY(!view.action(QStringLiteral("Install MCU Firmware..."))->isEnabled());

            QTRY_VERIFY(view.checkButton()->isEnabled()
                        && view.shownText(1, 1).contains(QLatin1String("last checked")));
            QCOMPARE(view.planLines(), plan);
            QCOMPARE(view.shownText(1, 0), warning);
            // The picture of this page in the README.
            const QString pictures = qEnvironmentVariable("ORVI_SCREENSHOT_DIR");
            if (!warning.isEmpty() && !pictures.isEmpty())
                QVERIFY(test->window.grab().save(pictures + QStringLiteral("/plan-with-warning.png")));
            const QFileInfo fetched(workingFolderPath() + QStringLiteral("/update-manifest.xml"));
            QCOMPARE(view.shownText(1, 1), QStringLiteral("The following components can be updated (last checked on %1):")
                                                   .arg(fetched.lastModified().toString(Qt::TextDate)));

            // Once a key is trusted, the same manifest without its signature is refused, and the
            // refused check drops the plan it replaces: nothing is left to send.
            QVERIFY(QDir().mkpath(keyFolder) && writeFile(keyFolder + QStringLiteral("/publisher.pub"), publicKey));
            QTest::mouseClick(view.checkButton(), Qt::LeftButton);
            QTRY_COMPARE(m_popUps.shown,
                         QStringList{QStringLiteral("Update Check Failure|Failed to check for updates!")});
            QVERIFY2(m_popUps.details.value(0).contains(QLatin1String("signature could not be downloaded")),
                     qPrintable(m_popUps.details.value(0)));
            m_popUps.take();
            QVERIFY(QDir(keyFolder).removeRecursively());
            QCOMPARE(view.planLines(), QStringList());
            QCOMPARE(view.shownText(1, 0) + view.shownText(1, 1), QString());
            QVERIFY(!view.startButton()->isEnabled());
        }
    }

    void deviceLossReturnsToConnectPage()
    {
        const QUrl manifest = m_site->publish("ORVI+", {{OrviSim::Component::Dsp, 0x0312, 1025, QStringLiteral("3.1.2")}});
        plugDevice(1, kPlusPath, {0x0312, 0x0311, 1, 1});
        auto test = windowOnDevicePage(manifest);
        const WindowView &view = test->view;
        QTest::mouseClick(view.checkButton(), Qt::LeftButton);
        QTRY_COMPARE(view.planLines().size(), 1);

        // A second device meanwhile is not taken, not even once the first one has gone during a check.
        plugDevice(0, "sim-second", {0x0312, 0x0312, 1, 1});
        QTest::qWait(1500);
        QUrl slow = manifest;
        slow.setQuery(QStringLiteral("delay=1500"));
        test->settings.setUpdateManifestUrl(slow);
        QTest::mouseClick(view.checkButton(), Qt::LeftButton);
        HidSim::unplug(kPlusPath);
        QTRY_COMPARE(view.page(), 0);
        QCOMPARE(view.statusText(), QStringLiteral("No device connected"));
        QVERIFY(view.action(QStringLiteral("Check for New Version of Orvi Updater"))->isEnabled());
        QTest::qWait(1500);
        QCOMPARE(view.page(), 0);
        QCOMPARE(m_popUps.shown, QStringList());

        // Back again, the device finds no plan of before.
        plugDevice(1, kPlusPath, {0x0312, 0x0311, 1, 1});
        QTRY_COMPARE_WITH_TIMEOUT(view.page(), 1, 5000);
        QCOMPARE(view.planLines(), QStringList());
        QCOMPARE(view.shownText(1, 0) + view.shownText(1, 1), QString());
    }

    void manifestUrlDialog()
    {
        WindowUnderTest test(m_site->url(QStringLiteral("missing.xml")));
        QAction *setUrl = test.view.action(QStringLiteral("Set Manifest URL..."));
        const auto enter = [setUrl](const QString &text) {
            DialogAnswer<QInputDialog> answer([text](QInputDialog *dialog) {
                dialog->setTextValue(text);
                dialog->accept();
            });
            setUrl->trigger();
        };

        // A bare host gains a scheme.
        enter(QStringLiteral("updates.example.net/op-manifest.xml"));
        QCOMPARE(test.settings.updateManifestUrl(), QUrl(QStringLiteral("http://updates.example.net/op-manifest.xml")));

        // Invalid text: an error box, then the same text asked for again; cancelling keeps the setting.
        const QString invalid = QStringLiteral("updates example.net/op-manifest.xml");
        QString askedAgainWith;
        std::unique_ptr<DialogAnswer<QInputDialog>> askedAgain;
        DialogAnswer<QMessageBox> errorBox([&](QMessageBox *box) {
            askedAgain = std::make_unique<DialogAnswer<QInputDialog>>([&](QInputDialog *dialog) {
                askedAgainWith = dialog->textValue();
                dialog->reject();
            });
            box->accept();
        });
        enter(invalid);
        QCOMPARE(m_popUps.take(), QStringList{QStringLiteral(
                "Invalid Manifest URL|The entered text is not a valid URL. Please enter a valid URL.")});
        QCOMPARE(askedAgainWith, invalid);
        QCOMPARE(test.settings.updateManifestUrl(), QUrl(QStringLiteral("http://updates.example.net/op-manifest.xml")));

        // Empty text brings the default back.
        enter(QString());
        QCOMPARE(test.settings.updateManifestUrl(), ConfigurationManager::defaultUpdateManifestUrl());
    }

    // Each model restarts after every component faster than the bus is polled, the Orvi+ back at
    // its path and the Orvi at another. A second device of the model, listed before it once it
    // has restarted, gets nothing.
    void updatesEveryComponent()
    {
        const ServedComponent mcu{OrviSim::Component::Mcu, 0x0312, 3000, QStringLiteral("3.1.2")};
        const ServedComponent dsp{OrviSim::Component::Dsp, 0x0312, 500, QStringLiteral("3.1.2")};
        const ServedComponent styles{OrviSim::Component::Styles, 2, 70000, QStringLiteral("2")};
        const ServedComponent ensemble{OrviSim::Component::Ensemble, 2, 30000, QStringLiteral("0x2")};
        for (int model : {1, 0}) {
            cleanup();
            const QVector<ServedComponent> served = model == 1 ? QVector<ServedComponent>{mcu, dsp, styles, ensemble}
                                                               : QVector<ServedComponent>{mcu, dsp, ensemble};
            const QUrl manifest = m_site->publish(model == 0 ? "ORVI" : "ORVI+", served);
            m_device = plugDevice(model, kPlusPath, {0x0310, 0x0310, 1, 1}, 150, L"T1", model == 0 ? "sim-back" : "");
            MessageLog log;
            auto test = windowOnDevicePage(manifest);
            const WindowView &view = test->view;
            auto other = plugDevice(model, "sim-other", {0x0310, 0x0310, 1, 1}, 150, L"T2");
            QTest::mouseClick(view.checkButton(), Qt::LeftButton);
            QTRY_COMPARE(view.planLines().size(), served.size());

            QMap<QString, std::array<int, 2>> highest; // what the bars reached, by the title shown above them
            for (int bar : {0, 1})
                connect(view.bar(bar), &QProgressBar::valueChanged, [&highest, &view, bar](int value) {
                    int &reached = highest[view.updateLabel(0)->text()][bar];
                    reached = qMax(reached, value);
                });
            QAction *checkApp = view.action(QStringLiteral("Check for New Version of Orvi Updater"));
            QTest::mouseClick(view.startButton(), Qt::LeftButton);
            QTRY_COMPARE(view.page(), 2);
            QVERIFY(test->window.updateIsInProgress() && !checkApp->isEnabled());
            QTRY_VERIFY(view.bar(1)->value() > 0);
            QVERIFY(waitForNoUpdates(view, 90000));

            QStringList expectedTitles;
            for (int i = 0, count = served.size(); i < count; ++i) {
                const QString name = componentTypeName(ComponentType(served[i].component));
                expectedTitles << QStringLiteral("Updating %1 (Component %2/%3)").arg(name).arg(i + 1).arg(count);
                const auto sent = m_device->lastTransfer(served[i].component);
                QVERIFY2(sent && sent->installed && sent->holdsExactly(m_site->deviceBytes(served[i].component)),
                         qPrintable(name));
            }
            expectedTitles.sort();
            QCOMPARE(highest.keys(), expectedTitles);
            for (auto it = highest.cbegin(); it != highest.cend(); ++it)
                QVERIFY2(it.value() == (std::array<int, 2>{100, 100}), qPrintable(it.key()));
            QCOMPARE(m_device->installCount(), served.size());
            QVERIFY(m_device->violations().empty());
            QCOMPARE(other->reportCount(), 0);
            QCOMPARE(view.planLines(), QStringList());
            QVERIFY(view.statusText().contains(QLatin1String("MCU:   Production 1.2\nDSP:   Production 1.2\n")));
            QVERIFY(view.statusText().endsWith(QLatin1String("Ensemble:   0x2\n")));
            QVERIFY(!test->window.updateIsInProgress() && checkApp->isEnabled());
            // Sleep is held once, for the whole update (held or not, depending on this machine's logind).
            const int held = log.count(QStringLiteral("System sleep disabled."));
            QCOMPARE(held + log.count(QStringLiteral("Could not disable system sleep.")), 1);
            QCOMPARE(log.count(QStringLiteral("System sleep re-enabled.")), 1);
        }
    }

    void unplugDuringDownloadEndsQuietly()
    {
        MessageLog log;
        auto test = planMcuUpdate(1500, QStringLiteral("slow=100&block=500"));
        const WindowView &view = test->view;
        QTest::mouseClick(view.startButton(), Qt::LeftButton);
        QTRY_COMPARE(view.updateLabel(1)->text(), QStringLiteral("Downloading (20 KB)"));
        QTRY_VERIFY(view.bar(0)->value() > 0);

        // Closing now asks first; No keeps the update going.
        DialogAnswer<QMessageBox> no([](QMessageBox *box) { box->button(QMessageBox::No)->click(); });
        test->window.close();
        QCOMPARE(m_popUps.take().value(0), QStringLiteral("Update in Progress|An update is in progress. Quitting now will abort the "
                                          "update.\n\nAre you sure you want to quit?\n"));
        QVERIFY(test->window.isVisible());

        HidSim::unplug(kPlusPath);
        QTRY_COMPARE(view.page(), 0);
        QVERIFY(!test->window.updateIsInProgress());
        QCOMPARE(log.count(QStringLiteral("System sleep re-enabled.")), 1);
        QVERIFY(m_device->transfers().empty());

        // Back while the dropped download would still run: the next update downloads its own.
        m_device = plugDevice(1, kPlusPath, {0x0310, 0x0312, 1, 1});
        QTRY_COMPARE_WITH_TIMEOUT(view.page(), 1, 5000);
        QTest::mouseClick(view.checkButton(), Qt::LeftButton);
        QTRY_VERIFY(view.startButton()->isEnabled());
        QTest::mouseClick(view.startButton(), Qt::LeftButton);
        QVERIFY(waitForNoUpdates(view, 30000));
        QCOMPARE(log.count(QStringLiteral("Already active.")), 0);
        QVERIFY(m_device->lastTransfer(OrviSim::Component::Mcu)->holdsExactly(m_site->deviceBytes(OrviSim::Component::Mcu)));
        test->window.close(); // nothing in progress: no question
        QVERIFY(!test->window.isVisible());
    }

    // The file changes on the server after the check measured it, or the transfer fails: nothing
    // is installed, the plan stays, and the update can be started again. The user is away from
    // the window at one of the two ends, and only that end reaches the desktop.
    void failedAttemptCanBeRetried()
    {
        for (bool damagedDownload : {true, false}) {
            cleanup();
            MessageLog log;
            auto test = planMcuUpdate(1500);
            const WindowView &view = test->view;
            const auto awayAtEnd = [&test](bool away) {
                if (away)
                    QApplication::setActiveWindow(nullptr);
                else
                    test->window.activateWindow();
                return QTest::qWaitFor([away] { return !QApplication::activeWindow() == away; });
            };
            m_notifications.ask("Calls"); // the ends of earlier tests
            QVERIFY(awayAtEnd(damagedDownload));
            QFile served(m_site->servedPath(OrviSim::Component::Mcu));
            QVERIFY(served.open(QIODevice::ReadWrite));
            const QByteArray content = served.readAll();
            QByteArray altered = content;
            altered[1000] = char(altered[1000] ^ 0x55);
            QVERIFY(served.seek(0) && served.write(damagedDownload ? altered : content) == content.size());
            served.flush();
            m_device->failWriteAtReport(damagedDownload ? 0 : m_device->reportCount() + 8);
            QTest::mouseClick(view.startButton(), Qt::LeftButton);
            QTRY_COMPARE(m_popUps.shown, QStringList{damagedDownload ? "Download Failure|Failed to download updates."
                                                                     : "Update Failure|The update could not be completed."});
            m_popUps.take();
            QCOMPARE(view.page(), 1);
            QCOMPARE(view.planLines(), QStringList{QStringLiteral("MCU Firmware: Version Production 1.2, Size 20 KB")});
            QVERIFY(!test->window.updateIsInProgress());
            QCOMPARE(m_device->transfers().empty(), damagedDownload);
            QCOMPARE(log.startingWith(QStringLiteral("MainWindow: Downloaded MCU Firmware has SHA-256 ")).size(),
                     int(damagedDownload));

            QVERIFY(served.seek(0) && served.write(content) == content.size());
            served.close();
            QVERIFY(awayAtEnd(!damagedDownload));
            QTest::mouseClick(view.startButton(), Qt::LeftButton);
            QVERIFY(waitForNoUpdates(view, 30000));
            QCOMPARE(m_device->installCount(), 1);
            // With the icon the desktop entry names.
            QCOMPARE(m_notifications.ask("Calls").toStringList(),
                     QStringList{QStringLiteral("example.brevanto.OrviUpdater|")
                                 + (damagedDownload ? "Download Failure|Failed to download updates."
                                                    : "Update finished|All components were installed on the Orvi+.")});
        }
    }

    // The device does not restart by itself: the user is asked to power-cycle it. It comes back
    // and the update ends normally; or it is never power-cycled, leaves and never returns while
    // another device is attached, or comes back but cannot be opened, and the update ends with a
    // failure.
    void slowRestartAsksForPowerCycle()
    {
        const QString rebootFailure = QStringLiteral("Reboot Failure|The device failed to reboot after update.");
        enum Road { Returns, StaysPut, NeverReturns, ReturnsUnopenable };
        for (Road road : {Returns, StaysPut, NeverReturns, ReturnsUnopenable}) {
            cleanup();
            auto test = planMcuUpdate(0, QString(), {300, 1500});
            const WindowView &view = test->view;
            auto other = plugDevice(1, "sim-other", {0x0310, 0x0312, 1, 1}, 0, L"T2");
            QTest::mouseClick(view.startButton(), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(view.shownText(2), QStringLiteral("Please power-cycle the device now."), 15000);
            QCOMPARE(m_device->installCount(), 1);
            if (road != StaysPut) {
                HidSim::unplug(kPlusPath);
                QTRY_COMPARE(view.shownText(2), QStringLiteral("Waiting for the device to reboot..."));
                QVERIFY(test->window.updateIsInProgress());
            }
            if (road == Returns || road == ReturnsUnopenable) {
                m_device = plugDevice(1, kPlusPath, {0x0312, 0x0312, 1, 1}, 0);
                m_device->setOpenRefused(road == ReturnsUnopenable);
            }
            if (road == Returns) {
                QVERIFY(waitForNoUpdates(view, 15000));
                continue;
            }
            const QStringList popUps = road == ReturnsUnopenable
                    ? QStringList{"Connection Failure|Failed to connect to device.", rebootFailure}
                    : QStringList{rebootFailure};
            QTRY_COMPARE_WITH_TIMEOUT(m_popUps.shown, popUps, 5000);
            m_popUps.take();
            QCOMPARE(view.page(), road == StaysPut ? 1 : 0);
            QVERIFY(!test->window.updateIsInProgress());
            QTest::qWait(1200); // a poll more: the other device is not taken up
            QCOMPARE(view.page(), road == StaysPut ? 1 : 0);
            QCOMPARE(other->reportCount(), 0);
        }
    }

    void manualInstall()
    {
        const QUrl manifest = m_site->publish("ORVI+", {});
        m_device = plugDevice(1, kPlusPath, {0x0310, 0x0310, 1, 1});
        auto test = windowOnDevicePage(manifest);
        const WindowView &view = test->view;
        QTemporaryDir folder;
        const auto pick = [&](const QString &action, const QString &name) {
            if (!name.isEmpty())
                OrviSim::writeImageFile(localPath(folder.filePath(name)), OrviSim::Component::Dsp, 0x0312, 300);
            DialogAnswer<QFileDialog> fileChoice([&](QFileDialog *dialog) {
                if (name.isEmpty())
                    return dialog->reject();
                // Typed, as a user may: the dialog's listing of the folder fills in later.
                dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(folder.filePath(name));
                static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
            });
            DialogAnswer<QMessageBox> invalidBox([](QMessageBox *box) { box->accept(); });
            view.action(action)->trigger();
            return m_popUps.take().join(QLatin1Char(';'));
        };

        // Names that do not fit the component are refused; nothing starts.
        const QString invalid = QStringLiteral("Invalid File|This file does not seem to be a valid ");
        QCOMPARE(pick(QStringLiteral("Install MCU Firmware..."), QStringLiteral("Update.BIN")), invalid + "MCU Firmware");
        QCOMPARE(pick(QStringLiteral("Install Styles..."), QStringLiteral("Styles.bin")), invalid + "Styles");
        QCOMPARE(pick(QStringLiteral("Install Ensemble Audio..."), QString()), QString());
        QCOMPARE(view.page(), 1);
        QTest::qWait(200);
        QVERIFY(m_device->transfers().empty());

        QCOMPARE(pick(QStringLiteral("Install DSP Firmware..."), QStringLiteral("orvi-dsp.ldr")), QString());
        QTRY_COMPARE(view.page(), 2);
        QCOMPARE(view.updateLabel(0)->text(), QStringLiteral("Updating DSP Firmware (Component 1/1)"));
        QTRY_COMPARE(view.bar(0)->value(), 100);
        QVERIFY(waitForNoUpdates(view, 30000));
        QFile file(folder.filePath(QStringLiteral("orvi-dsp.ldr")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        Bytes sent;
        QVERIFY(OrviSim::bytesFromDspText(file.readAll().toStdString(), &sent));
        const auto transfer = m_device->lastTransfer(OrviSim::Component::Dsp);
        QVERIFY(transfer && transfer->installed && transfer->holdsExactly(sent));
    }

    // Last, as accepting a newer version quits, which ends every later event loop.
    void selfUpdateCheck()
    {
        // Every entry is measured with a request, so the address is one of the local server.
        const QString served = m_site->url(QStringLiteral("app")).toString();
        const auto entry = [](const char *name, const char *version, const QString &url) {
            return "<Component Name=\"" + QByteArray(name) + "\" ReleaseDate=\"2026-11-30\" Version=\"" + version
                    + "\" URL=\"" + url.toUtf8() + "\"/>";
        };
        const QString question = QStringLiteral("|New Orvi Updater version 3.0.0 is available.\n\nWould you like to quit "
                                                "this application and install the new version?\n\n");
        const QByteArray none = entry("Mac", "2.0.2", served) + entry("Win", "9.0.0", served);
        // Entries, whether the check is asked for from the menu, whether a question is answered Yes, and the
        // pop-ups shown: the first newer of several, answered No; nothing newer, from the menu (at start the
        // other tests' clean-up sees it stay quiet); a newer one at a local file, which is not opened (the
        // manifest is not trusted with other schemes than the web's); and one at a web address, which is
        // opened as the program quits.
        const std::tuple<QByteArray, bool, bool, QStringList> cases[] = {
                {entry("Mac", "2.0.1", served) + entry("Mac", "3.0.0", served) + entry("Mac", "2.1.0", served), false,
                 false, {question}},
                {none, true, false, {"|No updates available for Orvi Updater."}},
                {entry("Mac", "3.0.0", QUrl::fromLocalFile(m_site->path(QStringLiteral("app"))).toString()), false,
                 true, {question}},
                {entry("Mac", "3.0.0", served), false, true, {question}}};
        for (const auto &[entries, fromMenu, yes, popUps] : cases) {
            cleanup();
            UrlOpenings openings;
            MessageLog log;
            WindowUnderTest test(m_site->publish(
                    "ORVI+", {}, "<Product Name=\"Orvi Updater\"><Components>" + entries + "</Components></Product>"));
            QEventLoop loop;
            QTimer::singleShot(5000, &loop, [&loop] { loop.exit(-1); });
            // Questions not answered here are answered No as the pop-ups are taken.
            DialogAnswer<QMessageBox> answer([yes](QMessageBox *box) {
                if (yes)
                    box->button(QMessageBox::Yes)->click();
            });
            if (fromMenu) {
                QTRY_VERIFY(test.checkEnded());
                QCOMPARE(m_popUps.shown, QStringList());
                test.view.action(QStringLiteral("Check for New Version of Orvi Updater"))->trigger();
            }
            if (yes && entries.contains(served.toUtf8())) {
                QCOMPARE(loop.exec(), 0);
                QCOMPARE(openings.urls, QList<QUrl>{QUrl(served)});
            } else {
                QTRY_VERIFY(test.checkEnded());
                QTRY_COMPARE(m_popUps.shown, popUps);
                QTRY_COMPARE(log.count(QStringLiteral("App update URL invalid.")), int(yes));
                QCOMPARE(openings.urls, QList<QUrl>());
                QVERIFY(test.window.isVisible());
            }
            QCOMPARE(m_popUps.take(), popUps);
        }
    }

private:
    // An Orvi+ with an older MCU, shown with its plan of one MCU update.
    std::unique_ptr<WindowUnderTest> planMcuUpdate(int rebootMs, const QString &query = QString(),
                                                   const DeviceWaits &waits = {})
    {
        const QUrl manifest = m_site->publish("ORVI+", {{OrviSim::Component::Mcu, 0x0312, 20000, QStringLiteral("3.1.2"), query}});
        m_device = plugDevice(1, kPlusPath, {0x0310, 0x0312, 1, 1}, rebootMs);
        auto test = windowOnDevicePage(manifest, waits);
        QTest::mouseClick(test->view.checkButton(), Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return test->view.startButton()->isEnabled(); }, 10000))
            qWarning("No update planned");
        return test;
    }

    bool waitForNoUpdates(const WindowView &view, int timeoutMs)
    {
        return QTest::qWaitFor(
                [&] { return view.page() == 1 && view.shownText(1, 1).startsWith(QLatin1String("No updates available")); },
                timeoutMs);
    }

    PopUpLog m_popUps;
    PrivateBus m_sessionBus;
    ServiceStandIn m_notifications;
    std::unique_ptr<UpdateSite> m_site;
    std::shared_ptr<OrviSim::OrviEmulator> m_device;
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
