#ifndef ORVI_CONNECTION_H
#define ORVI_CONNECTION_H

#include <QMetaType>
#include <QString>

namespace OrviPlus {

// One device found on the HID bus.
struct Connection {
    QString path;
    int model = 0;          // 0 = Orvi, 1 = Orvi+
    QString serialNumber;   // may be empty

    // The same plug-in of a device, as the bus shows it: the serial number is left out, it
    // does not tell two plug-ins of one device apart.
    bool isSameDevice(const Connection& other) const
    {
        return path == other.path && model == other.model;
    }

    // The same physical device wherever and however often it is plugged in, as after a
    // restart, which may bring it back under another path.
    bool isSameUnit(const Connection& other) const
    {
        return model == other.model && serialNumber == other.serialNumber;
    }
};

} // namespace OrviPlus

Q_DECLARE_METATYPE(OrviPlus::Connection)

#endif
