#ifndef ORVI_QT_COMPAT_H
#define ORVI_QT_COMPAT_H

// The calls whose spelling differs between Qt 5.15 and Qt 6, so that the rest of the tree
// builds unchanged with either.

#include <QLibraryInfo>
#include <QString>

namespace OrviPlus {

inline QString qtLibraryPath(QLibraryInfo::LibraryLocation which)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(which);
#else
    return QLibraryInfo::location(which);
#endif
}

} // namespace OrviPlus

#endif
