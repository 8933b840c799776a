#include "engine/update_plan.h"

#include "engine/version_text.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <cmath>
#include <tuple>

namespace OrviPlus {

namespace {

bool readDecimal(const QString &text, int maximum, int *value)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    const bool digitsOnly = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
    if (!ok || !digitsOnly || number > maximum)
        return false;
    *value = number;
    return true;
}

// Whether the manifest's version of a device component can be read for its type.
bool versionReadable(const Component &component)
{
    switch (component.type) {
    case ComponentType::McuFirmware:
    case ComponentType::DspFirmware:
        return parseFirmwareVersion(component.version).has_value();
    case ComponentType::Styles:
    case ComponentType::EnsembleAudio:
        return parseContentVersion(component.version).has_value();
    default:
        return true;
    }
}

QString firmwareDigits(const FirmwareVersion &version)
{
    return QStringLiteral("%1.%2.%3").arg(version.stage).arg(version.major).arg(version.minor);
}

const char McuLimitWarning[] =
        QT_TRANSLATE_NOOP("OrviPlus::UpdatePlan", "An MCU update is available but your current MCU firmware cannot be "
                                                  "updated by USB. It must be programmed directly into the MCU.");

} // namespace

std::optional<FirmwareVersion> parseFirmwareVersion(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    FirmwareVersion version;
    if (parts.size() != 3 || !readDecimal(parts[0], 255, &version.stage) || !readDecimal(parts[1], 15, &version.major)
        || !readDecimal(parts[2], 15, &version.minor))
        return std::nullopt;
    return version;
}

std::optional<uint32_t> parseContentVersion(const QString &text)
{
    bool ok = false;
    const uint32_t number = text.toUInt(&ok, 0);
    if (!ok)
        return std::nullopt;
    return number;
}

bool operator<(const FirmwareVersion &a, const FirmwareVersion &b)
{
    return std::tie(a.stage, a.major, a.minor) < std::tie(b.stage, b.major, b.minor);
}

bool mcuUsbUpdatable(const FirmwareVersion &mcu)
{
    return !(mcu < FirmwareVersion{0, 6, 4});
}

bool isDeviceComponent(ComponentType type)
{
    return unsigned(type) <= unsigned(ComponentType::EnsembleAudio);
}

DevicePlan planDeviceUpdates(const DeviceInfo &device, const ComponentMap &manifest, bool listAll)
{
    return planDeviceUpdates(device, manifest.value(device.model != 0 ? DeviceOrviPlus : DeviceOrvi), listAll);
}

DevicePlan planDeviceUpdates(const DeviceInfo &device, const QVector<Component> &offered, bool listAll)
{
    DevicePlan plan;
    for (const Component &component : offered) {
        if (isDeviceComponent(component.type) && !versionReadable(component)) {
            qWarning().noquote() << QStringLiteral("Unreadable %1 version in the manifest: \"%2\"; not planned.")
                                            .arg(componentTypeName(component.type), component.version);
            continue;
        }
        if (listAll) {
            plan.components.append(component);
            continue;
        }
        switch (component.type) {
        case ComponentType::McuFirmware: {
            const FirmwareVersion version = *parseFirmwareVersion(component.version);
            qDebug() << "Found MCU:" << firmwareDigits(version) << component.version;
            if (!(device.mcuVersion < version))
                break;
            if (mcuUsbUpdatable(device.mcuVersion)) {
                plan.components.append(component);
                qDebug() << "New MCU";
            } else {
                qCritical().noquote() << McuLimitWarning;
                plan.warnings.append(QCoreApplication::translate("OrviPlus::UpdatePlan", McuLimitWarning));
            }
            break;
        }
        case ComponentType::DspFirmware: {
            const FirmwareVersion version = *parseFirmwareVersion(component.version);
            qDebug() << "Found DSP:" << firmwareDigits(version) << component.version;
            if (device.dspVersion < version) {
                plan.components.append(component);
                qDebug() << "New DSP.";
            }
            break;
        }
        case ComponentType::Styles: {
            // The device keeps 16 bits of it.
            const uint16_t version = uint16_t(*parseContentVersion(component.version));
            qDebug() << "Found Styles:" << hexVersionText(version) << component.version;
            if (version != device.stylesVersion) {
                plan.components.append(component);
                qDebug() << "New Styles.";
            }
            break;
        }
        case ComponentType::EnsembleAudio: {
            const uint32_t version = *parseContentVersion(component.version);
            qDebug() << "Found Ensemble Audio:" << hexVersionText(version) << component.version;
            if (version != device.ensembleVersion) {
                plan.components.append(component);
                qDebug() << "New Ensemble.";
            }
            break;
        }
        default:
            qCritical() << "Device update: Unexpected component type";
            break;
        }
    }
    return plan;
}

QString planLine(const Component &component)
{
    return QCoreApplication::translate("OrviPlus::UpdatePlan", "%1: Version %2, Size %3 KB")
            .arg(componentDisplayName(component.type), planVersionText(component), kilobytes(component.size));
}

QString planVersionText(const Component &component)
{
    switch (component.type) {
    case ComponentType::McuFirmware:
    case ComponentType::DspFirmware:
        return firmwareVersionText(parseFirmwareVersion(component.version).value_or(FirmwareVersion()));
    case ComponentType::Styles:
        return hexVersionText(uint16_t(parseContentVersion(component.version).value_or(0)));
    case ComponentType::EnsembleAudio:
        return hexVersionText(parseContentVersion(component.version).value_or(0));
    default:
        return QString();
    }
}

QString kilobytes(uint64_t bytes)
{
    return QString::number(qulonglong(std::ceil(double(bytes) / 1024.0)));
}

std::optional<Component> newerApplication(const SemanticVersion &running, const QVector<Component> &entries)
{
    for (const Component &entry : entries) {
        if (entry.type != ComponentType::MacApplication)
            continue;
        try {
            if (running < SemanticVersion(entry.version))
                return entry;
        } catch (const SemanticVersion::error &) {
            qCritical() << "Failed parsing app update version!";
        }
    }
    return std::nullopt;
}

QString downloadedFileFault(const Component &component, qint64 receivedBytes, const QByteArray &sha256)
{
    if (component.size != 0 && uint64_t(receivedBytes) != component.size)
        return QStringLiteral("MainWindow: Downloaded %1 has %2 bytes, expected %3 bytes.")
                .arg(componentTypeName(component.type))
                .arg(receivedBytes)
                .arg(component.size);
    if (!component.sha256.isEmpty() && sha256 != component.sha256)
        return QStringLiteral("MainWindow: Downloaded %1 has SHA-256 %2, expected %3.")
                .arg(componentTypeName(component.type), QString::fromLatin1(sha256.toHex()),
                     QString::fromLatin1(component.sha256.toHex()));
    return QString();
}

Component localComponent(ComponentType type, const QString &filePath)
{
    const QFileInfo file(filePath);
    Component component;
    component.type = type;
    component.filePath = file.absoluteFilePath();
    component.size = uint64_t(file.size());
    return component;
}

QString requiredFileEnding(ComponentType type)
{
    switch (type) {
    case ComponentType::McuFirmware:
        return QStringLiteral("Update.bin");
    case ComponentType::DspFirmware:
        return QStringLiteral(".ldr");
    case ComponentType::Styles:
        return QStringLiteral("StyleData.bin");
    case ComponentType::EnsembleAudio:
        return QStringLiteral(".flac");
    default:
        return QString();
    }
}

} // namespace OrviPlus
