#ifndef ORVI_DEVICE_INFO_H
#define ORVI_DEVICE_INFO_H

#include <QMetaType>

#include <cstdint>

namespace OrviPlus {

// A firmware version as the device packs it into one 16-bit word:
// stage in the high byte, major in bits 7-4, minor in bits 3-0.
struct FirmwareVersion
{
    int stage = 0; // 0 Alpha, 1 Beta, 2 Pre-production, 3 Production
    int major = 0;
    int minor = 0;
};

// What is known of a device once it has answered the handshake.
struct DeviceInfo
{
    int model = -1; // 0 Orvi, 1 Orvi+; no model until a device has answered
    int auxWord = 0;
    FirmwareVersion mcuVersion;
    FirmwareVersion dspVersion;
    uint16_t stylesVersion = 0;
    uint32_t ensembleVersion = 0;
};

} // namespace OrviPlus

Q_DECLARE_METATYPE(OrviPlus::DeviceInfo)

#endif // ORVI_DEVICE_INFO_H
