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
        // The device: DSP Production 1.2, styles 0x105, ensemble 0x104, and the MCU of each row.
        struct Row
        {
            FirmwareVersion mcu;
            QVector<Component> offered;
            bool listAll;
            QStringList plan;
            int warnings;
            int unreadable;
        };
        const FirmwareVersion production10{3, 1, 0};
        const Row rows[] = {
                {production10, {offered(Mcu, "3.1.4")}, false, {"MCU Firmware: Version Production 1.4, Size 1 KB"}, 0, 0},
                // Too old for USB: a warning for each newer MCU instead; at the limit it is planned.
                {{0, 6, 3}, {offered(Mcu, "0.6.5"), offered(Mcu, "0.6.5")}, false, {}, 2, 0},
                {{0, 6, 4}, {offered(Mcu, "0.6.5")}, false, {"MCU Firmware: Version Alpha 6.5, Size 1 KB"}, 0, 0},
                // Firmware is ordered, content only compared: older styles are planned, and only
                // the 16 bits the device keeps of them count.
                {production10,
                 {offered(Dsp, "3.1.2"), offered(Dsp, "3.1.3", 1025), offered(Styles, "0x0104", 0),
                  offered(Styles, "0x10105"), offered(Ensemble, "260"), offered(Ensemble, "0x105")},
                 false,
                 {"DSP Firmware: Version Production 1.3, Size 2 KB", "Styles: Version 0x104, Size 0 KB",
                  "Ensemble Audio: Version 0x105, Size 1 KB"},
                 0,
                 0},
                // A version that cannot be read for its type is never planned.
                {production10,
                 {offered(Mcu, "1.4"), offered(Mcu, "3.1.16"), offered(Dsp, "3.1.x"), offered(Dsp, "3. 1.2"),
                  offered(Styles, "abc"), offered(Ensemble, "0x")},
                 false,
                 {},
                 0,
                 6},
                {production10,
                 {offered(Mcu, "3.1.0"), offered(Ensemble, "zz"), offered(Dsp, "3.1.2"), offered(Styles, "0x105")},
                 true,
                 {"MCU Firmware: Version Production 1.0, Size 1 KB", "DSP Firmware: Version Production 1.2, Size 1 KB",
                  "Styles: Version 0x105, Size 1 KB"},
                 0,
                 1},
        };
        for (const Row &row : rows) {
            DeviceInfo device;
            device.model = 1;
            device.mcuVersion = row.mcu;
            device.dspVersion = {3, 1, 2};
            device.stylesVersion = 0x105;
            device.ensembleVersion = 0x104;
            MessageLog log;
            const DevicePlan plan = planDeviceUpdates(device, row.offered, row.listAll);
            QStringList lines;
            for (const Component &component : plan.components)
                lines << planLine(component);
            QCOMPARE(lines, row.plan);
            QCOMPARE(plan.warnings.size(), row.warnings);
            QCOMPARE(log.startingWith(QStringLiteral("Unreadable")).size(), row.unreadable);
        }
    }

    void findsTheFirstNewerApplication()
    {
        const auto entries = [](const QStringList &versions) {
            QVector<Component> list;
            for (const QString &version : versions)
                list << offered(version.startsWith('w') ? ComponentType::WindowsApplication
                                                        : ComponentType::MacApplication,
                                version.mid(1));
            return list;
        };
        // Entries ("m" Mac, "w" Windows, then the version) and the version found.
        const std::pair<QStringList, QString> rows[] = {{{"m2.0.1", "m3.0.0", "m2.1.0"}, "3.0.0"},
                                                        {{"m2.x", "m2.0.3"}, "2.0.3"},
                                                        {{"m2.0.2", "w9.0.0"}, QString()}};
        for (const auto &[versions, found] : rows) {
            const std::optional<Component> newer = newerApplication(SemanticVersion("2.0.2"), entries(versions));
            QCOMPARE(newer ? newer->version : QString(), found);
        }
    }

    void refusesADownloadThatIsNotTheManifestsFile()
    {
        Component component = offered(Mcu, "3.1.2", 20000);
        component.sha256 = QByteArray(32, 'a');
        // Bytes received, their digest, and the fault found.
        const std::tuple<qint64, QByteArray, QString> rows[] = {
                {20000, QByteArray(32, 'a'), QString()},
                {19900, QByteArray(32, 'a'), "MainWindow: Downloaded MCU Firmware has 19900 bytes, expected 20000 bytes."},
                {20000, QByteArray(32, 'b'),
                 "MainWindow: Downloaded MCU Firmware has SHA-256 " + QByteArray(32, 'b').toHex() + ", expected "
                         + QByteArray(32, 'a').toHex() + "."}};
        for (const auto &[received, digest, fault] : rows)
            QCOMPARE(downloadedFileFault(component, received, digest), fault);
        // Without a size from the server or a digest in the manifest there is nothing to hold it against.
        QCOMPARE(downloadedFileFault(offered(Mcu, "3.1.2", 0), 5, QByteArray()), QString());
    }
};

QTEST_GUILESS_MAIN(UpdatePlanTest)
#include "tst_update_plan.moc"
