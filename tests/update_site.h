// A local update site on 127.0.0.1 and emulated devices on the simulated bus, for the tests
// of whole updates through the window and the command line.
#ifndef UPDATE_SITE_H
#define UPDATE_SITE_H

#include "device/device_test_support.h"
#include "http_test_server.h"

#include <QCryptographicHash>
#include <QHash>
#include <QTemporaryDir>

#include <array>
#include <memory>

#include <hid_sim.h>
#include <orvi_image.h>

// One component file the server offers, built by the emulator's image builder so that a
// device that installs it comes back reporting its version.
struct ServedComponent
{
    OrviSim::Component component;
    uint32_t version;
    std::size_t size;
    QString versionText; // as the manifest states it
    QString query = QString(); // server faults for its download, e.g. "slow=50"
};

// The files of one update server: components, manifest, and what the device must end up holding.
class UpdateSite
{
public:
    UpdateSite() : m_server(m_root.path()) {}

    bool started() const { return m_server.started(); }
    QString path(const QString &name) const { return m_root.filePath(name); }
    QUrl url(const QString &name) const { return m_server.url(QLatin1Char('/') + name); }
    HttpTestServer &server() { return m_server; }

    // Writes the component files and a manifest listing them under product (e.g. "ORVI+"), with
    // digests; extraXml goes inside the family after the product. Returns the manifest URL.
    QUrl publish(const QByteArray &product, const QVector<ServedComponent> &components,
                 const QByteArray &extraXml = QByteArray())
    {
        static const char *const manifestNames[] = {"MP", "DSP", "Styles", "Ensemble"};
        QByteArray entries;
        for (const ServedComponent &served : components) {
            const QString name = QStringLiteral("%1-%2.img").arg(OrviSim::componentName(served.component)).arg(served.version);
            const Bytes bytes = OrviSim::buildImage(served.component, served.version, served.size);
            const QByteArray content = served.component == OrviSim::Component::Dsp
                                               ? QByteArray::fromStdString(OrviSim::dspTextFromBytes(bytes))
                                               : toByteArray(bytes);
            writeFile(path(name), content);
            m_bytes[int(served.component)] = bytes;
            m_names[int(served.component)] = name;
            QUrl address = url(name);
            address.setQuery(served.query);
            entries += QStringLiteral("<Component Name=\"%1\" Version=\"%2\" ReleaseDate=\"2026-11-30\" URL=\"%3\" "
                                      "SHA256=\"%4\"/>")
                               .arg(QLatin1String(manifestNames[int(served.component)]), served.versionText,
                                    address.toString().toHtmlEscaped(),
                                    QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()))
                               .toUtf8();
        }
        writeFile(path(QStringLiteral("manifest.xml")),
                  "<Family Name=\"ORVI\"><Product Name=\"" + product + "\"><Components>" + entries
                          + "</Components></Product>" + extraXml + "</Family>");
        return url(QStringLiteral("manifest.xml"));
    }

    // The image of a component as the device must receive it (the DSP file holds it as text).
    Bytes deviceBytes(OrviSim::Component component) const { return m_bytes.value(int(component)); }

    // The path on the server of a published component's file.
    QString servedPath(OrviSim::Component component) const { return path(m_names.value(int(component))); }

private:
    QHash<int, QString> m_names;
    QTemporaryDir m_root;
    HttpTestServer m_server;
    QHash<int, Bytes> m_bytes;
};

// Plugs an emulated device with the given MCU, DSP, styles and ensemble versions, which is
// gone for rebootMs after each installed component (0: never restarts) and comes back at
// rebootPath (empty: where it was).
inline std::shared_ptr<OrviSim::OrviEmulator> plugDevice(int model, const std::string &path,
                                                         const std::array<uint32_t, 4> &versions, int rebootMs = 1500,
                                                         const std::wstring &serial = L"T1",
                                                         const std::string &rebootPath = std::string())
{
    auto device = HidSim::plug(model == 0 ? HidSim::kProductOrvi : HidSim::kProductOrviPlus, path, serial);
    device->setHeaderWords({uint16_t(versions[0]), uint16_t(versions[1]), uint16_t(versions[2]), versions[3], 0, 0,
                            std::nullopt});
    device->setRebootBehaviour({rebootMs > 0, rebootMs, rebootPath, std::nullopt});
    return device;
}

#endif // UPDATE_SITE_H
