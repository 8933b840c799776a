#include "engine/version_text.h"

namespace OrviPlus {

namespace {

QString stageName(int stage)
{
    switch (stage) {
    case 0:
        return QStringLiteral("Alpha");
    case 1:
        return QStringLiteral("Beta");
    case 2:
        return QStringLiteral("Pre-production");
    case 3:
        return QStringLiteral("Production");
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
    QVector<std::pair<QString, QString>> versions = {{QStringLiteral("MCU"), firmwareVersionText(info.mcuVersion)},
                                                     {QStringLiteral("DSP"), firmwareVersionText(info.dspVersion)}};
    if (info.model == 1)
        versions.append({QStringLiteral("Styles"), hexVersionText(info.stylesVersion)});
    versions.append({QStringLiteral("Ensemble"), hexVersionText(info.ensembleVersion)});
    return versions;
}

} // namespace OrviPlus
