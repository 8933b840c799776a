#ifndef ORVI_UPDATE_PLAN_H
#define ORVI_UPDATE_PLAN_H

// What to install on a device, worked out from its versions and the manifest's components:
// plain functions without state, shared by every front end.

#include "device/device_info.h"
#include "update/semantic_version.h"
#include "update/update_manifest.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <optional>

namespace OrviPlus {

// A manifest firmware version, "stage.major.minor" in decimal. Nothing when the text is not
// three numbers that fit the device's version word (stage to 255, major and minor to 15): such
// a version could never be reported back, so it would be offered again after every install.
std::optional<FirmwareVersion> parseFirmwareVersion(const QString &text);

// A manifest styles or ensemble version: decimal, octal with a leading 0, or "0x" hexadecimal.
std::optional<uint32_t> parseContentVersion(const QString &text);

bool operator<(const FirmwareVersion &a, const FirmwareVersion &b);

// Older MCU firmware (below Alpha 6.4) has no USB update path; it must be programmed directly.
bool mcuUsbUpdatable(const FirmwareVersion &mcu);

// MCU and DSP firmware, styles and ensemble audio: what can be sent to a device.
bool isDeviceComponent(ComponentType type);

struct DevicePlan
{
    QVector<Component> components; // in the manifest's order, the order they are installed in
    QStringList warnings;          // shown to the user above the plan
};

// The components of offered that are newer (firmware) or differ (styles, ensemble audio) from
// the device's, or with listAll every one of them. A component whose version cannot be read for
// its type is never planned; a log line names it.
DevicePlan planDeviceUpdates(const DeviceInfo &device, const QVector<Component> &offered, bool listAll);
// The same for what a manifest lists for the device's model.
DevicePlan planDeviceUpdates(const DeviceInfo &device, const ComponentMap &manifest, bool listAll);

// "MCU Firmware: Version Production 1.4, Size 1 KB": one planned component as the user sees it.
QString planLine(const Component &component);
// The version part of it, "Production 1.4".
QString planVersionText(const Component &component);

// Sizes are shown in whole kilobytes, rounded up so that a small file never shows as 0 KB.
QString kilobytes(uint64_t bytes);

// The first Mac application entry, in manifest order, newer than the running version; entries
// whose version cannot be read are logged and skipped.
std::optional<Component> newerApplication(const SemanticVersion &running, const QVector<Component> &entries);

// Empty when a downloaded component is the file the manifest describes, else why it is not:
// a connection cut short can look like a complete download, so the size the server announced
// is held against what arrived, and the digest where the manifest gives one.
QString downloadedFileFault(const Component &component, qint64 receivedBytes, const QByteArray &sha256);

// A component sent from a file on the computer instead of downloaded.
Component localComponent(ComponentType type, const QString &filePath);

// How the name of a file chosen for a manual install must end, for example "Update.bin"; empty
// for a type that cannot be installed by hand.
QString requiredFileEnding(ComponentType type);

} // namespace OrviPlus

#endif // ORVI_UPDATE_PLAN_H
