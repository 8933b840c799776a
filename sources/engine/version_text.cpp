#include "engine/version_text.h"

#include <QCoreApplication>

namespace OrviPlus {

namespace {

QString stageName(int stage)
{
    switch (stage) {
    case 0:
        return QCoreApplication::translate("OrviPlus::VersionText", "Alpha");
    case 1:
        return QCoreApplication::translate("OrviPlus::VersionText", "Beta");
    case 2:
        return QCoreApplication::translate("OrviPlus::VersionText", "Pre-production");
    case 3:
        return QCoreApplication::translate("OrviPlus::VersionText", "Production");
    default:
        return QString();
    }
}

} // namespace

QString modelName(int model)
{
    switch (model) {
    case 0:
        return QStringLiteral("Orvi");
    case 1:
        return QStringLiteral("Orvi+");
    default:
        return QString();
    }
}

QString firmwareVersionText(const FirmwareVersion &version)
{
    return QStringLiteral("%1 %2.%3").arg(stageName(version.stage)).arg(version.major).arg(version.minor);
}

QString hexVersionText(uint16_t version)
{
    return hexVersionText(uint32_t(version));
}

QString hexVersionText(uint32_t version)
{
    return QStringLiteral("0x") + QString::number(version, 16).toUpper();
}

QVector<std::pair<QString, QString>> deviceVersionTexts(const DeviceInfo &info)
{
    QVector<std::pair<QString, QString>> versions = {
            {QCoreApplication::translate("OrviPlus::VersionText", "MCU"), firmwareVersionText(info.mcuVersion)},
            {QCoreApplication::translate("OrviPlus::VersionText", "DSP"), firmwareVersionText(info.dspVersion)}};
    if (info.model == 1)
        versions.append({QCoreApplication::translate("OrviPlus::VersionText", "Styles"),
                         hexVersionText(info.stylesVersion)});
    versions.append({QCoreApplication::translate("OrviPlus::VersionText", "Ensemble"),
                     hexVersionText(info.ensembleVersion)});
    return versions;
}

} // namespace OrviPlus
