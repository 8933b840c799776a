#ifndef ORVI_VERSION_TEXT_H
#define ORVI_VERSION_TEXT_H

#include "device/device_info.h"

#include <QString>

#include <cstdint>

namespace OrviPlus {

// "Production 1.4"; an unknown stage leaves the name empty (" 1.4").
QString firmwareVersionText(const FirmwareVersion &version);

// "0x1A": upper-case hexadecimal without leading zeros.
QString hexVersionText(uint16_t version);
QString hexVersionText(uint32_t version);

} // namespace OrviPlus

#endif // ORVI_VERSION_TEXT_H
