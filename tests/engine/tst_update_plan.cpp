// Planning as plain functions: what a device is offered and how it reads, which application
// version is newer, and whether a download is the file the manifest describes.
#include "engine/update_plan.h"

#include "message_log.h"

#include <QtTest>

using namespace OrviPlus;

namespace {

Component offered(ComponentType type, const QString &version, uint64_t size = 1)
{
    Component component;
    component.type = type;
    component.version = version;
    component.size = size;
    return component;
}

const auto Mcu = ComponentType::McuFirmware;
const auto Dsp = ComponentType::DspFirmware;
const auto Styles = ComponentType::Styles;
const auto Ensemble = ComponentType::EnsembleAudio;

} // namespace

class UpdatePlanTest : public QObject
{
    Q_OBJECT

private slots:
    void plansWhatDiffersAndCanBeRead()
    {
        // The device's MCU (its DSP Production 1.2, styles 0x105, ensemble 0x104), what is offered, whether all
        // is listed, the places of the components planned, and the number of warnings and of unreadable versions.
        struct Row
        {
            FirmwareVersion mcu;
            QVector<Component> offered;
            bool listAll;
            QVector<int> planned;
            int warnings;
            int unreadable;
        };
        // Newer and equal firmware, older and equal content, and the MCU too old for USB, are the window's.
        const Row rows[] = {
                // A warning for each newer MCU too old for USB; at the limit it is planned.
                {{0, 6, 3}, {offered(Mcu, "0.6.5"), offered(Mcu, "0.6.5")}, false, {}, 2, 0},
                {{0, 6, 4}, {offered(Mcu, "0.6.5")}, false, {0}, 0, 0},
                // Content is compared in the 16 bits the device keeps of it.
                {{3, 1, 0}, {offered(Styles, "0x10105"), offered(Ensemble, "0x105")}, false, {1}, 0, 0},
                // A version that cannot be read for its type is never planned.
                {{3, 1, 0}, {offered(Mcu, "1.4"), offered(Mcu, "3.1.16"), offered(Dsp, "3.1.x"), offered(Dsp, "3. 1.2"),
                             offered(Styles, "abc"), offered(Ensemble, "0x")}, false, {}, 0, 6},
                {{3, 1, 0}, {offered(Mcu, "3.1.0"), offered(Ensemble, "zz"), offered(Styles, "0x105")}, true, {0, 2}, 0, 1},
        };
        for (const Row &row : rows) {
            DeviceInfo device;
            device.mcuVersion = row.mcu;
            device.dspVersion = {3, 1, 2};
            device.stylesVersion = 0x105;
            device.ensembleVersion = 0x104;
            MessageLog log;
            const DevicePlan plan = planDeviceUpdates(device, row.offered, row.listAll);
            QVector<Component> planned;
            for (int place : row.planned)
                planned << row.offered[place];
            QCOMPARE(plan.components.size(), planned.size());
            for (int i = 0; i < planned.size(); ++i)
                QCOMPARE(plan.components[i].version, planned[i].version);
            QCOMPARE(plan.warnings.size(), row.warnings);
            QCOMPARE(log.startingWith(QStringLiteral("Unreadable")).size(), row.unreadable);
        }
    }

    // The window's check covers the first newer of several, and nothing newer.
    void skipsAnApplicationVersionItCannotRead()
    {
        const QVector<Component> entries = {offered(ComponentType::MacApplication, "2.x"),
                                            offered(ComponentType::WindowsApplication, "9.0.0"),
                                            offered(ComponentType::MacApplication, "2.0.3")};
        MessageLog log;
        QCOMPARE(newerApplication(SemanticVersion("2.0.2"), entries).value_or(Component()).version, QStringLiteral("2.0.3"));
        QCOMPARE(log.count(QStringLiteral("Failed parsing app update version!")), 1);
    }

    // A cut file; the window's update checks a digest that does not match.
    void refusesADownloadThatIsNotTheManifestsFile()
    {
        const Component component = offered(Mcu, "3.1.2", 20000);
        QCOMPARE(downloadedFileFault(component, 19900, QByteArray()),
                 QStringLiteral("MainWindow: Downloaded MCU Firmware has 19900 bytes, expected 20000 bytes."));
        // Without a size from the server or a digest in the manifest there is nothing to hold it against.
        QCOMPARE(downloadedFileFault(offered(Mcu, "3.1.2", 0), 5, QByteArray()), QString());
    }
};

QTEST_GUILESS_MAIN(UpdatePlanTest)
#include "tst_update_plan.moc"
