// Whole updates through the window: what the user sees on every road, and what the device
// ends up holding, over the simulated bus and a local server.

#include "device/orvi_device.h"

#include "gui/application_setup.h"

#include "window_test_support.h"

using namespace OrviPlus;

const char kPath[] = "sim-update";

class UpdateWorkflowTest : public QObject
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
    }

    void cleanup()
    {
        m_device.reset();
        HidSim::reset();
        QCOMPARE(m_popUps.take(), QStringList());
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
            m_device = plugDevice(model, kPath, {0x0310, 0x0310, 1, 1}, 150, L"T1", model == 0 ? "sim-back" : "");
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

        HidSim::unplug(kPath);
        QTRY_COMPARE(view.page(), 0);
        QVERIFY(!test->window.updateIsInProgress());
        QCOMPARE(log.count(QStringLiteral("System sleep re-enabled.")), 1);
        QVERIFY(m_device->transfers().empty());

        // Back while the dropped download would still run: the next update downloads its own.
        m_device = plugDevice(1, kPath, {0x0310, 0x0312, 1, 1});
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

    void failedTransferCanBeRetried()
    {
        auto test = planMcuUpdate(1500);
        const WindowView &view = test->view;
        m_device->failWriteAtReport(m_device->reportCount() + 8);
        QTest::mouseClick(view.startButton(), Qt::LeftButton);
        QTRY_COMPARE(m_popUps.shown, QStringList{QStringLiteral("Update Failure|The update could not be completed.")});
        m_popUps.take();
        QCOMPARE(view.page(), 1);
        QCOMPARE(view.planLines(), QStringList{QStringLiteral("MCU Firmware: Version Production 1.2, Size 20 KB")});
        QVERIFY(!test->window.updateIsInProgress());

        QTest::mouseClick(view.startButton(), Qt::LeftButton);
        QVERIFY(waitForNoUpdates(view, 30000));
        QCOMPARE(m_device->installCount(), 1);
    }

    // The device does not restart by itself: the user is asked to power-cycle it. It comes back
    // and the update ends normally; or it is never power-cycled, or leaves and never returns
    // while another device is attached, and the update ends with a failure.
    void slowRestartAsksForPowerCycle()
    {
        enum Road { Returns, StaysPut, NeverReturns };
        for (Road road : {Returns, StaysPut, NeverReturns}) {
            cleanup();
            auto test = planMcuUpdate(0, QString(), {300, 1500});
            const WindowView &view = test->view;
            auto other = plugDevice(1, "sim-other", {0x0310, 0x0312, 1, 1}, 0, L"T2");
            QTest::mouseClick(view.startButton(), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(view.shownText(2), QStringLiteral("Please power-cycle the device now."), 15000);
            QCOMPARE(m_device->installCount(), 1);
            if (road != StaysPut) {
                HidSim::unplug(kPath);
                QTRY_COMPARE(view.shownText(2), QStringLiteral("Waiting for the device to reboot..."));
                QVERIFY(test->window.updateIsInProgress());
            }
            if (road == Returns) {
                m_device = plugDevice(1, kPath, {0x0312, 0x0312, 1, 1}, 0);
                QVERIFY(waitForNoUpdates(view, 15000));
                continue;
            }
            QTRY_COMPARE_WITH_TIMEOUT(m_popUps.shown, QStringList{QStringLiteral("Reboot Failure|The device failed to "
                                                                                 "reboot after update.")},
                                      5000);
            m_popUps.take();
            QCOMPARE(view.page(), road == StaysPut ? 1 : 0);
            QVERIFY(!test->window.updateIsInProgress());
            QTest::qWait(1200); // a poll more: the other device is not taken up
            QCOMPARE(view.page(), road == StaysPut ? 1 : 0);
            QCOMPARE(other->reportCount(), 0);
        }
    }

    void returningDeviceThatFailsToOpen()
    {
        auto test = planMcuUpdate(1500);
        const WindowView &view = test->view;
        QTest::mouseClick(view.startButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(view.shownText(2).startsWith(QLatin1String("Waiting for confirmation")), 15000);
        m_device->setOpenRefused(true);
        QTRY_COMPARE_WITH_TIMEOUT(m_popUps.shown,
                                  (QStringList{QStringLiteral("Connection Failure|Failed to connect to device."),
                                               QStringLiteral("Reboot Failure|The device failed to reboot after update.")}),
                                  15000);
        m_popUps.take();
        QCOMPARE(view.page(), 0);
        QVERIFY(!test->window.updateIsInProgress());
    }

    // The file changes on the server after the check measured it: a byte altered.
    void damagedDownloadIsNotSent()
    {
        MessageLog log;
        auto test = planMcuUpdate(1500);
        QFile served(m_site->servedPath(OrviSim::Component::Mcu));
        QVERIFY(served.open(QIODevice::ReadWrite));
        QByteArray content = served.readAll();
        content[1000] = char(content[1000] ^ 0x55);
        QVERIFY(served.seek(0) && served.write(content) == content.size());
        served.close();

        QTest::mouseClick(test->view.startButton(), Qt::LeftButton);
        QTRY_COMPARE(m_popUps.shown, QStringList{QStringLiteral("Download Failure|Failed to download updates.")});
        m_popUps.take();
        QCOMPARE(test->view.page(), 1);
        QCOMPARE(test->view.planLines().size(), 1);
        QVERIFY(m_device->transfers().empty());
        QCOMPARE(log.startingWith(QStringLiteral("MainWindow: Downloaded MCU Firmware has SHA-256 ")).size(), 1);
    }

    void manualInstall()
    {
        const QUrl manifest = m_site->publish("ORVI+", {});
        m_device = plugDevice(1, kPath, {0x0310, 0x0310, 1, 1});
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

private:
    // An Orvi+ with an older MCU, shown with its plan of one MCU update.
    std::unique_ptr<WindowUnderTest> planMcuUpdate(int rebootMs, const QString &query = QString(),
                                                   const DeviceWaits &waits = {})
    {
        const QUrl manifest = m_site->publish("ORVI+", {{OrviSim::Component::Mcu, 0x0312, 20000, QStringLiteral("3.1.2"), query}});
        m_device = plugDevice(1, kPath, {0x0310, 0x0312, 1, 1}, rebootMs);
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
    std::unique_ptr<UpdateSite> m_site;
    std::shared_ptr<OrviSim::OrviEmulator> m_device;
};

QTEST_MAIN(UpdateWorkflowTest)
#include "tst_update_workflow.moc"
