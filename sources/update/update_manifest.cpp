#include "update/update_manifest.h"

#include <QCoreApplication>
#include <QDebug>
#include <QIODevice>
#include <QXmlSimpleReader>

namespace OrviPlus {

namespace {

const char *componentTypeText(ComponentType type)
{
    switch (type) {
    case ComponentType::McuFirmware:
        return QT_TRANSLATE_NOOP("OrviPlus::ComponentType", "MCU Firmware");
    case ComponentType::DspFirmware:
        return QT_TRANSLATE_NOOP("OrviPlus::ComponentType", "DSP Firmware");
    case ComponentType::Styles:
        return QT_TRANSLATE_NOOP("OrviPlus::ComponentType", "Styles");
    case ComponentType::EnsembleAudio:
        return QT_TRANSLATE_NOOP("OrviPlus::ComponentType", "Ensemble Audio");
    case ComponentType::WindowsApplication:
        return QT_TRANSLATE_NOOP("OrviPlus::ComponentType", "Windows Application");
    case ComponentType::MacApplication:
        return QT_TRANSLATE_NOOP("OrviPlus::ComponentType", "Mac OS X Application");
    }
    return QT_TRANSLATE_NOOP("OrviPlus::ComponentType", "Unknown Component");
}

} // namespace

QString componentTypeName(ComponentType type)
{
    return QString::fromLatin1(componentTypeText(type));
}

QString componentDisplayName(ComponentType type)
{
    return QCoreApplication::translate("OrviPlus::ComponentType", componentTypeText(type));
}

namespace {

bool deviceComponentType(const QString &name, ComponentType *type)
{
    if (name == QLatin1String("MP"))
        *type = ComponentType::McuFirmware;
    else if (name == QLatin1String("DSP"))
        *type = ComponentType::DspFirmware;
    else if (name == QLatin1String("Styles"))
        *type = ComponentType::Styles;
    else if (name == QLatin1String("Ensemble"))
        *type = ComponentType::EnsembleAudio;
    else
        return false;
    return true;
}

bool applicationComponentType(const QString &name, ComponentType *type)
{
    if (name == QLatin1String("Win"))
        *type = ComponentType::WindowsApplication;
    else if (name == QLatin1String("Mac"))
        *type = ComponentType::MacApplication;
    else
        return false;
    return true;
}

} // namespace

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

UpdateManifestParser::~UpdateManifestParser() = default;

bool UpdateManifestParser::parse(QIODevice *input)
{
    if (input->size() > MaxManifestSize) {
        qCritical() << "UpdateManifestParser: manifest too large:" << input->size() << "bytes";
        return false;
    }
    QXmlSimpleReader reader;
    reader.setContentHandler(this);
    QXmlInputSource source(input);
    return reader.parse(&source);
}

bool UpdateManifestParser::startDocument()
{
    m_states.clear();
    return true;
}

bool UpdateManifestParser::endDocument()
{
    return m_states.empty();
}

bool UpdateManifestParser::startElement(const QString &, const QString &, const QString &qName,
                                        const QXmlAttributes &atts)
{
    if (m_states.size() >= size_t(MaxDepth)) {
        qCritical() << "UpdateManifestParser: manifest nested deeper than" << MaxDepth << "levels.";
        return false;
    }
    const int state = m_states.empty() ? Document : m_states.back();
    const QString name = atts.value(QStringLiteral("Name"));

    switch (state) {
    case Document:
        if (qName == QLatin1String("Family") && name == QLatin1String("ORVI"))
            m_states.push_back(InFamily);
        else
            m_states.push_back(Skipping);
        return true;

    case InFamily:
        if (qName == QLatin1String("Product")) {
            static const char *const productNames[] = {"ORVI", "ORVI+", "Orvi Updater",
                                                       "Orvi Manager"};
            for (int product = DeviceOrvi; product <= ManagerApp; ++product) {
                if (name == QLatin1String(productNames[product])) {
                    m_product = ManifestProduct(product);
                    m_states.push_back(InProduct);
                    return true;
                }
            }
        }
        m_states.push_back(Skipping);
        return true;

    case InProduct:
        m_states.push_back(qName == QLatin1String("Components") ? InComponents : Skipping);
        return true;

    case InComponents:
        if (qName == QLatin1String("Component")) {
            if (!readComponent(atts))
                return false;
        }
        m_states.push_back(Skipping);
        return true;

    default:
        m_states.push_back(Skipping);
        return true;
    }
}

bool UpdateManifestParser::readComponent(const QXmlAttributes &atts)
{
    ComponentType type;
    const QString name = atts.value(QStringLiteral("Name"));
    const bool forDevice = m_product == DeviceOrvi || m_product == DeviceOrviPlus;
    if (!(forDevice ? deviceComponentType(name, &type) : applicationComponentType(name, &type))) {
        qCritical() << "Invalid component name";
        return false;
    }

    const QString version = atts.value(QStringLiteral("Version"));
    if (version.isEmpty()) {
        qCritical() << "Invalid component version";
        return false;
    }

    const QString releaseDate = atts.value(QStringLiteral("ReleaseDate"));
    if (releaseDate.isEmpty()) {
        qCritical() << "Invalid component release date";
        return false;
    }

    const QUrl url(atts.value(QStringLiteral("URL")), QUrl::TolerantMode);
    if (url.isEmpty()) {
        qCritical() << "Invalid component url";
        return false;
    }

    // Optional, so that manifests written before digests existed still read.
    const QString digestText = atts.value(QStringLiteral("SHA256"));
    const QByteArray digest = QByteArray::fromHex(digestText.toLatin1());
    if (atts.index(QStringLiteral("SHA256")) >= 0
        && (digestText.size() != 64 || digest.toHex() != digestText.toLatin1().toLower())) {
        qCritical() << "Invalid component checksum";
        return false;
    }

    Component component;
    component.type = type;
    component.url = url;
    component.sha256 = digest;
    component.version = version;
    component.releaseDate = releaseDate;
    m_components[m_product].append(component);
    return true;
}

bool UpdateManifestParser::endElement(const QString &, const QString &, const QString &)
{
    if (m_states.empty()) {
        qCritical() << "ERROR: UpdateManifestParser: Failed to pop state.";
        return false;
    }
    m_states.pop_back();
    return true;
}

ComponentMap &UpdateManifestParser::components()
{
    return m_components;
}

const ComponentMap &UpdateManifestParser::components() const
{
    return m_components;
}

QVector<Component *> UpdateManifestParser::allComponents()
{
    QVector<Component *> all;
    for (auto product = m_components.begin(); product != m_components.end(); ++product) {
        for (Component &component : product.value())
            all.append(&component);
    }
    return all;
}

void UpdateManifestParser::reset()
{
    m_components.clear();
    m_states.clear();
}

QT_WARNING_POP

} // namespace OrviPlus
