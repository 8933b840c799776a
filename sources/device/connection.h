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

    // The serial number is left out: it does not tell two plug-ins of one device apart.
    bool isSameDevice(const Connection& other) const
    {
        return path == other.path && model == other.model;
    }
};

} // namespace OrviPlus

Q_DECLARE_METATYPE(OrviPlus::Connection)

#endif
