// Whole updates through the engine over the simulated bus and a local update site: the
// device taken up is updated however it restarts, another device gets nothing, every wait
// ends, and a dropped download never finishes into a later update.
#include "device/device_monitor.h"
#include "engine/update_engine.h"
#include "engine/update_plan.h"
#include "settings/configuration_manager.h"
#include "update/update_manager.h"

#include "update_site.h"

#include <QtTest>

using namespace OrviPlus;

namespace {

// The engine's signals by name, in the order they came.
class EngineLog : public QObject
{
public:
    explicit EngineLog(UpdateEngine *engine)
    {
        const auto note = [this](const char *name) { return [this, name] { names << name; }; };
        connect(engine, &UpdateEngine::deviceReady, this, note("ready"));
        connect(engine, &UpdateEngine::deviceLost, this, note("lost"));
        connect(engine, &UpdateEngine::deviceFailed, this, note("failed"));
        connect(engine, &UpdateEngine::componentInstalled, this, note("installed"));
        connect(engine, &UpdateEngine::restartOverdue, this, note("overdue"));
        connect(engine, &UpdateEngine::updateFinished, this, note("finished"));
        connect(engine, &UpdateEngine::downloadFailed, this, note("downloadFailed"));
        connect(engine, &UpdateEngine::installFailed, this, note("installFailed"));
        connect(engine, &UpdateEngine::rebootFailed, this, note("rebootFailed"));
    }
    QStringList names;
};

// A monitor and an engine over the bus, and the site's manifest fetched for planning.
struct Rig
{
    Rig(const QUrl &manifest, const DeviceWaits &waits = {})
        : engine(&monitor, waits)
    {
        settings.setUpdateManifestUrl(manifest);
        monitor.start();
    }

    // Waits for the device to be taken up, then plans what the site offers it.
    QVector<Component> plan()
    {
        QSignalSpy checked(&manager, &UpdateManager::updateDiscoveryDone);
        if (!QTest::qWaitFor([this] { return engine.deviceIsReady(); }, 5000))
            return {};
        manager.check();
        if (!checked.wait(5000))
            return {};
        return planDeviceUpdates(engine.deviceInfo(), manager.components().value(DeviceOrviPlus), false).components;
    }

    ConfigurationManager settings;
    UpdateManager manager;
    DeviceMonitor monitor;
    UpdateEngine engine;
    EngineLog log{&engine};
};

const std::array<uint32_t, 4> kOlder = {0x0310, 0x0310, 1, 1};

} // namespace

class UpdateEngineTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<UpdateSite> m_site;

    QUrl publishFirmware(const QString &mcuQuery = QString())
    {
        return m_site->publish("ORVI+", {{OrviSim::Component::Mcu, 0x0312, 20000, "3.1.2", mcuQuery},
                                         {OrviSim::Component::Dsp, 0x0312, 500, "3.1.2"}});
    }

    bool holdsTheSitesFirmware(const OrviSim::OrviEmulator &device)
    {
        for (OrviSim::Component component : {OrviSim::Component::Mcu, OrviSim::Component::Dsp}) {
            const auto sent = device.lastTransfer(component);
            if (!sent || !sent->installed || !sent->holdsExactly(m_site->deviceBytes(component)))
                return false;
        }
        return device.installCount() == 2 && device.violations().empty();
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<DeviceInfo>("OrviPlus::DeviceInfo");
        orviSetSectorWaitForTesting(1000000L);
        m_site = std::make_unique<UpdateSite>();
        QVERIFY(m_site->started());
    }

    void cleanup() { HidSim::reset(); }

    // Back at its path before the monitor's next poll, at another path within one poll, or
    // slower than a poll: the device restarts after each component. Another Orvi+, listed
    // before it once it has restarted, gets nothing.
    void updatesItsOwnDeviceHoweverItRestarts()
    {
        const QUrl manifest = publishFirmware();
        const std::pair<int, std::string> restarts[] = {{150, ""}, {150, "sim-back"}, {1500, ""}};
        for (const auto &[rebootMs, rebootPath] : restarts) {
            cleanup();
            Rig rig(manifest);
            auto own = plugDevice(1, "sim-own", kOlder, rebootMs, L"OWN", rebootPath);
            const QVector<Component> plan = rig.plan();
            auto other = plugDevice(1, "sim-other", kOlder, 1500, L"OTHER");
            QVERIFY(rig.engine.startUpdate(plan));
            QTRY_VERIFY_WITH_TIMEOUT(!rig.engine.isUpdating(), 20000);

            QCOMPARE(rig.log.names, QStringList({"ready", "installed", "lost", "ready", "installed", "lost", "ready",
                                                 "finished"}));
            QVERIFY(holdsTheSitesFirmware(*own));
            QCOMPARE(rig.engine.device().serialNumber, QStringLiteral("OWN"));
            QCOMPARE(other->reportCount(), 0);
        }
    }

    // A device that is not power-cycled, or that leaves and does not return while another is
    // attached: the update ends with a reboot failure and lets the computer sleep again.
    void waitsForTheDeviceEnd()
    {
        const QUrl manifest = publishFirmware();
        for (bool leaves : {false, true}) {
            cleanup();
            MessageLog log;
            Rig rig(manifest, {300, 800});
            plugDevice(1, "sim-own", kOlder, 0, L"OWN");
            const QVector<Component> plan = rig.plan();
            auto other = plugDevice(1, "sim-other", kOlder, 1500, L"OTHER");
            QVERIFY(rig.engine.startUpdate(plan.mid(0, 1)));
            QTRY_VERIFY_WITH_TIMEOUT(rig.log.names.contains("overdue"), 10000);
            if (leaves)
                HidSim::unplug("sim-own");
            QTRY_VERIFY_WITH_TIMEOUT(!rig.engine.isUpdating(), 5000);

            const QStringList waited = {"ready", "installed", "overdue"};
            QCOMPARE(rig.log.names, waited + (leaves ? QStringList{"lost", "rebootFailed"} : QStringList{"rebootFailed"}));
            QCOMPARE(log.count(QStringLiteral("System sleep re-enabled.")), 1);
            QTest::qWait(1200); // a poll more: the other device is not taken up
            QCOMPARE(rig.engine.hasDevice(), !leaves);
            QCOMPARE(other->reportCount(), 0);
        }
    }

    void lostDeviceDropsItsDownload()
    {
        MessageLog log;
        Rig rig(publishFirmware(QStringLiteral("slow=100&block=500")));
        plugDevice(1, "sim-own", kOlder, 150, L"OWN");
        const QVector<Component> plan = rig.plan();
        QVERIFY(rig.engine.startUpdate(plan));
        QTRY_COMPARE(rig.engine.stage(), UpdateEngine::Stage::Downloading);
        HidSim::unplug("sim-own");
        QTRY_VERIFY(!rig.engine.isUpdating());

        // Back while the dropped download would still be running: the new one is the one taken.
        auto own = plugDevice(1, "sim-own", kOlder, 150, L"OWN");
        QTRY_VERIFY_WITH_TIMEOUT(rig.engine.deviceIsReady(), 5000);
        QVERIFY(rig.engine.startUpdate(plan));
        QTRY_VERIFY_WITH_TIMEOUT(!rig.engine.isUpdating(), 30000);
        QCOMPARE(rig.log.names.last(), QStringLiteral("finished"));
        QCOMPARE(log.count(QStringLiteral("Already active.")), 0);
        QVERIFY(holdsTheSitesFirmware(*own));
    }
};

QTEST_GUILESS_MAIN(UpdateEngineTest)
#include "tst_update_engine.moc"
