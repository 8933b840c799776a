#ifndef ORVI_UPDATE_MANIFEST_H
#define ORVI_UPDATE_MANIFEST_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QUrl>
#include <QVector>
#include <QXmlDefaultHandler>

#include <cstdint>
#include <deque>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

namespace OrviPlus {

// What a manifest component holds. Scoped because the device layer's
// DeviceFileType shares some enumerator names; the values of the device
// components equal their DeviceFileType values.
enum class ComponentType : int {
    McuFirmware = 0,
    DspFirmware = 1,
    Styles = 2,
    EnsembleAudio = 3,
    WindowsApplication = 4,
    MacApplication = 5,
};

// Name of a component type, in English: the file name of a downloaded component, and what
// the log and the command line show.
QString componentTypeName(ComponentType type);
// The same name in the language of the installed translation, for the window.
QString componentDisplayName(ComponentType type);

// The key under which the manifest's components are filed.
enum ManifestProduct : int {
    DeviceOrvi = 0,
    DeviceOrviPlus = 1,
    UpdaterApp = 2,
    ManagerApp = 3,
};

// One downloadable file listed in the manifest.
struct Component
{
    ComponentType type = ComponentType::McuFirmware;
    QUrl url;
    QString filePath; // set once the file has been downloaded
    QString version;
    QString releaseDate;
    uint64_t size = 0;
    QByteArray sha256; // raw SHA-256 of the file when the manifest gives one, else empty
};

using ComponentMap = QHash<ManifestProduct, QVector<Component>>;

// Where the parser stands in the document; an empty state stack means Document.
enum ParserState : int {
    Document = 0,
    InFamily = 1,
    InProduct = 2,
    InComponents = 3,
    Skipping = 4,
};

// The Qt 5.15 SAX classes are deprecated in favour of QXmlStreamReader, but the
// manifest is read through them on purpose; only these declarations are exempt.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

// SAX content handler that files the manifest's components by product.
class UpdateManifestParser : public QXmlDefaultHandler
{
public:
    ~UpdateManifestParser() override;

    // A real manifest is a few kilobytes; anything much larger is refused unread,
    // because the reader holds whole attribute values and texts in memory.
    static constexpr qint64 MaxManifestSize = 1024 * 1024;

    // The reader recurses once per open element, so a deeply nested document would
    // exhaust the stack; a real manifest is four levels deep.
    static constexpr int MaxDepth = 64;

    // Reads one manifest from an open device with a fresh reader, this parser as
    // its content handler. False if the document is too large, malformed or lists
    // an invalid component.
    bool parse(QIODevice *input);

    bool startDocument() override;
    bool endDocument() override;
    bool startElement(const QString &namespaceURI, const QString &localName,
                      const QString &qName, const QXmlAttributes &atts) override;
    bool endElement(const QString &namespaceURI, const QString &localName,
                    const QString &qName) override;

    ComponentMap &components();
    const ComponentMap &components() const;

    // Pointers into components(), valid until the map is next modified.
    QVector<Component *> allComponents();

    // Forgets the components and the position, ready for another document.
    void reset();

private:
    bool readComponent(const QXmlAttributes &atts);

    std::deque<int> m_states;
    ManifestProduct m_product = DeviceOrvi;
    ComponentMap m_components;
};

QT_WARNING_POP

} // namespace OrviPlus

#endif // ORVI_UPDATE_MANIFEST_H
