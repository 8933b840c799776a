// The window as a user meets it: devices coming and going, update checks and their plans,
// menus, dialogs and the self-update check, over the simulated bus and a local server.

#include "update/working_folder.h"

#include "gui/application_setup.h"

#include "window_test_support.h"

using namespace OrviPlus;

namespace {

const char kPlusPath[] = "sim-plus";

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
        m_site = std::make_unique<UpdateSite>();
        QVERIFY(m_site->started());
        QVERIFY(writeFile(m_site->path(QStringLiteral("app")), "a new version"));
    }

    void cleanup()
    {
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
        for (int i : {0, 1}) // the band of the model name, 800 x 310, at a width of 200
            QCOMPARE(qobject_cast<QLabel *>(view.logo(i))->pixmap(Qt::ReturnByValue).size(), QSize(200, 78));
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
        QApplication::setActiveWindow(&test.window);
        QVERIFY(QTest::qWaitForWindowActive(&test.window));
        QTest::keyClick(&test.window, Qt::Key_A, Qt::MetaModifier);
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        QMenu *advanced = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QCOMPARE(advanced->title(), QStringLiteral("Advanced"));
        QVERIFY(!view.action(QStringLiteral("Install MCU Firmware..."))->isEnabled());
        QVERIFY(!view.action(QStringLiteral("List All Components"))->isEnabled());
        QVERIFY(view.action(QStringLiteral("Set Manifest URL..."))->isEnabled());
        advanced->close();
    }

    void deviceArrival()
    {
        // Model, whether it opens, and the status text then shown.
        const std::tuple<int, bool, QString> cases[] = {
                {0, true, "Orvi Connected\n\nMCU:   Production 1.2\nDSP:   Production 1.1\nEnsemble:   0x5\n"},
                {1, true, "Orvi+ Connected\n\nMCU:   Production 1.2\nDSP:   Production 1.1\nStyles:   0x2\n"
                          "Ensemble:   0x5\n"},
                {1, false, "No device connected"}};
        for (const auto &[model, opens, status] : cases) {
            cleanup();
            WindowUnderTest test(m_site->url(QStringLiteral("missing.xml")));
            const WindowView &view = test.view;
            // The device answers the handshake slowly, so the waiting texts can be seen.
            auto device = plugDevice(model, kPlusPath, {0x0312, 0x0311, 2, 5});
            device->setReplyDelayMs(600);
            device->setOpenRefused(!opens);
            if (opens) {
                QTRY_COMPARE(view.connectText(), QStringLiteral("Waiting for the ORVI device to get ready..."));
                QCOMPARE(view.statusText(), QStringLiteral("Waiting..."));
                QTRY_COMPARE(view.page(), 1);
                QCOMPARE(view.statusText(), status);
                QCOMPARE(view.logo(0)->isVisible(), model == 0);
                QCOMPARE(view.logo(1)->isVisible(), model == 1);
                QCOMPARE(view.planLines(), QStringList());
                QCOMPARE(view.shownText(1, 0) + view.shownText(1, 1), QString());
                QVERIFY(view.checkButton()->isEnabled());
                QVERIFY(!view.startButton()->isEnabled());
                QVERIFY(view.action(QStringLiteral("Install DSP Firmware..."))->isEnabled());
            } else {
                QTRY_COMPARE(m_popUps.shown,
                             QStringList{QStringLiteral("Connection Failure|Failed to connect to device.")});
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
            QCOMPARE(view.startButton()->isEnabled(), !plan.isEmpty());
            const QString summary = plan.isEmpty() ? QStringLiteral("No updates available (last checked on %1).")
                                                   : QStringLiteral("The following components can be updated (last "
                                                                    "checked on %1):");
            const QFileInfo fetched(workingFolderPath() + QStringLiteral("/update-manifest.xml"));
            QCOMPARE(view.shownText(1, 1), summary.arg(fetched.lastModified().toString(Qt::TextDate)));
            QVERIFY(view.action(QStringLiteral("Check for New Version of Orvi Updater"))->isEnabled());

            // A check that fails drops the plan it replaces.
            test->settings.setUpdateManifestUrl(m_site->url(QStringLiteral("missing.xml")));
            QTest::mouseClick(view.checkButton(), Qt::LeftButton);
            QTRY_COMPARE(m_popUps.shown,
                         QStringList{QStringLiteral("Update Check Failure|Failed to check for updates!")});
            m_popUps.take();
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
        QCOMPARE(view.connectText(), QStringLiteral("Please connect a ORVI device."));
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

    void selfUpdateCheck()
    {
        // Every entry is measured with a request, so the address is one of the local server.
        const QByteArray attributes = "\" ReleaseDate=\"2026-11-30\" URL=\""
                                      + m_site->url(QStringLiteral("app")).toEncoded() + "\" Version=\"";
        const QByteArray mac = "<Component Name=\"Mac" + attributes, win = "<Component Name=\"Win" + attributes;
        const QString question = QStringLiteral("|New Orvi Updater version %1 is available.\n\nWould you like to quit "
                                                "this application and install the new version?\n\n");
        // Entries, whether the check is asked for from the menu, and the pop-ups shown: the first newer of
        // several, then nothing newer at start and from the menu.
        const std::tuple<QByteArray, bool, QStringList> cases[] = {
                {mac + "2.0.1\"/>" + mac + "3.0.0\"/>" + mac + "2.1.0\"/>", false, {question.arg("3.0.0")}},
                {mac + "2.0.2\"/>" + win + "9.0.0\"/>", false, {}},
                {mac + "2.0.2\"/>" + win + "9.0.0\"/>", true, {"|No updates available for Orvi Updater."}}};
        for (const auto &[entries, fromMenu, popUps] : cases) {
            cleanup();
            UrlOpenings openings;
            WindowUnderTest test(m_site->publish(
                    "ORVI+", {}, "<Product Name=\"Orvi Updater\"><Components>" + entries + "</Components></Product>"));
            if (fromMenu) {
                QTRY_VERIFY(test.checkEnded());
                QCOMPARE(m_popUps.shown, QStringList());
                test.view.action(QStringLiteral("Check for New Version of Orvi Updater"))->trigger();
            }
            if (popUps.isEmpty())
                QTRY_VERIFY(test.checkEnded());
            QTRY_COMPARE(m_popUps.shown, popUps);
            m_popUps.take(); // answers a question with something else than Yes
            QTest::qWait(100);
            QCOMPARE(openings.urls, QList<QUrl>());
            QVERIFY(test.window.isVisible());
        }
    }

    // Last, as quitting ends every later event loop.
    void acceptedSelfUpdateOpensAndQuits()
    {
        UrlOpenings openings;
        // Only web addresses are opened: the manifest is not trusted with other schemes.
        const QByteArray entry = "<Component Name=\"Mac\" ReleaseDate=\"2026-11-30\" Version=\"3.0.0\" URL=\"";
        const QString served = m_site->url(QStringLiteral("app")).toString();
        for (const QString &address : {QUrl::fromLocalFile(m_site->path(QStringLiteral("app"))).toString(), served}) {
            const QUrl manifest = m_site->publish("ORVI+", {},
                                                  "<Product Name=\"Orvi Updater\"><Components>" + entry
                                                          + address.toUtf8() + "\"/></Components></Product>");
            MessageLog log;
            WindowUnderTest test(manifest);
            QEventLoop loop;
            QTimer::singleShot(5000, &loop, [&loop] { loop.exit(-1); });
            DialogAnswer<QMessageBox> yes([](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
            const bool refused = address != served;
            if (refused) {
                QTRY_COMPARE(log.count(QStringLiteral("App update URL invalid.")), 1);
                QCOMPARE(openings.urls, QList<QUrl>());
            } else {
                QCOMPARE(loop.exec(), 0);
                QCOMPARE(openings.urls, QList<QUrl>{QUrl(address)});
            }
            QCOMPARE(m_popUps.take().size(), 1); // the question
        }
    }

private:
    PopUpLog m_popUps;
    std::unique_ptr<UpdateSite> m_site;
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
