#ifndef ORVI_VERSION_TEXT_H
#define ORVI_VERSION_TEXT_H

#include "device/device_info.h"

#include <QString>
#include <QVector>

#include <cstdint>
#include <utility>

namespace OrviPlus {

// "Orvi" or "Orvi+"; empty for another model.
QString modelName(int model);

// "Production 1.4"; an unknown stage leaves the name empty (" 1.4").
QString firmwareVersionText(const FirmwareVersion &version);

// "0x1A": upper-case hexadecimal without leading zeros.
QString hexVersionText(uint16_t version);
QString hexVersionText(uint32_t version);

// The versions a device reports, by component ("MCU", "DSP", "Styles", "Ensemble"), as the
// user sees them; only an Orvi+ has styles. Stage and component names follow the installed
// translation, which only the window loads.
QVector<std::pair<QString, QString>> deviceVersionTexts(const DeviceInfo &info);

} // namespace OrviPlus

#endif // ORVI_VERSION_TEXT_H
