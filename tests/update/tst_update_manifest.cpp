#include "update/update_manifest.h"

#include "message_recorder.h"
#include "peak_memory.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QtTest>

// Calling the handler directly needs the deprecated SAX attribute type.
QT_WARNING_DISABLE_DEPRECATED

using namespace OrviPlus;

namespace {

const char FullExample[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Family Name="ORVI">
  <!-- device firmware and content -->
  <Product Name="ORVI">
    <Components>
      <Component Name="MP" Version="1.4.2" ReleaseDate="2017-05-12" URL="http://host/orvi/mp.bin"/>
      <Component Name="DSP" Version="1.2.0" ReleaseDate="2017-05-12" URL="http://host/orvi/dsp.ldr"/>
      <Component Name="Ensemble" Version="0x00010002" ReleaseDate="2017-04-02" URL="http://host/orvi/ens.flac"/>
    </Components>
  </Product>
  <Product Name="ORVI+">
    <Components>
      <Component Name="MP" Version="2.0.1" ReleaseDate="2017-05-12" URL="http://host/plus/mp.bin"/>
      <Component Name="DSP" Version="2.0.0" ReleaseDate="2017-05-12" URL="http://host/plus/dsp.ldr"/>
      <Component Name="Styles" Version="0x0105" ReleaseDate="2017-03-30" URL="http://host/plus/styles.bin"/>
      <Component Name="Ensemble" Version="0x00010002" ReleaseDate="2017-04-02" URL="http://host/plus/ens.flac"/>
    </Components>
  </Product>
  <Product Name="Orvi Updater">
    <?note installers?>
    <Components>
      <Component Name="Mac" Version="2.1.0" ReleaseDate="2017-06-01" URL="http://host/app/updater.dmg"/>
      <Component Name="Win" Version="2.1.0" ReleaseDate="2017-06-01" URL="http://host/app/updater.exe"/>
    </Components>
  </Product>
</Family>
)";

const QStringList ValidationMessages = {
    QStringLiteral("Invalid component name"),
    QStringLiteral("Invalid component version"),
    QStringLiteral("Invalid component release date"),
    QStringLiteral("Invalid component url"),
};

bool parseText(UpdateManifestParser &parser, const QByteArray &xml)
{
    QBuffer buffer;
    buffer.setData(xml);
    buffer.open(QIODevice::ReadOnly);
    return parser.parse(&buffer);
}

// A manifest with one ORVI+ product whose Components element holds `components`.
QByteArray plusManifest(const QByteArray &components)
{
    return "<Family Name=\"ORVI\"><Product Name=\"ORVI+\"><Components>" + components
            + "</Components></Product></Family>";
}

QByteArray component(const QByteArray &name, const QByteArray &path)
{
    return "<Component Name=\"" + name + "\" Version=\"1.0.0\" ReleaseDate=\"2017-01-01\" URL=\"http://h/"
            + path + "\"/>";
}

int componentCount(const ComponentMap &map)
{
    int count = 0;
    for (const QVector<Component> &list : map)
        count += list.size();
    return count;
}

QStringList paths(const QVector<Component> &list)
{
    QStringList found;
    for (const Component &item : list)
        found.append(item.url.path());
    return found;
}

} // namespace

class TestUpdateManifest : public QObject
{
    Q_OBJECT

private slots:
    void fullExampleYieldsEveryComponentInOrder();
    void componentTypeNames();
    void unrecognisedPartsAreSkipped_data();
    void unrecognisedPartsAreSkipped();
    void invalidComponentFailsTheParse_data();
    void invalidComponentFailsTheParse();
    void repeatedContainersAppendToOneList();
    void malformedXmlFails_data();
    void malformedXmlFails();
    void handlerGuardsItsStack();
    void parserIsReusableAfterReset();
    void entityExpansionIsRefusedWithinBoundedMemory();
    void oversizedDocumentIsRefusedUnread();
    void documentAtTheSizeLimitIsRead();
};

void TestUpdateManifest::fullExampleYieldsEveryComponentInOrder()
{
    UpdateManifestParser parser;
    QVERIFY(parseText(parser, FullExample));

    const ComponentMap &map = parser.components();
    QCOMPARE(map.size(), 3);
    QVERIFY(!map.contains(ManagerApp));

    const QVector<Component> orvi = map.value(DeviceOrvi);
    QCOMPARE(orvi.size(), 3);
    QCOMPARE(orvi[0].type, ComponentType::McuFirmware);
    QCOMPARE(orvi[0].version, QStringLiteral("1.4.2"));
    QCOMPARE(orvi[0].releaseDate, QStringLiteral("2017-05-12"));
    QCOMPARE(orvi[0].url, QUrl(QStringLiteral("http://host/orvi/mp.bin")));
    QCOMPARE(orvi[1].type, ComponentType::DspFirmware);
    QCOMPARE(orvi[2].type, ComponentType::EnsembleAudio);
    QCOMPARE(orvi[2].version, QStringLiteral("0x00010002"));
    QCOMPARE(orvi[2].releaseDate, QStringLiteral("2017-04-02"));

    const QVector<Component> plus = map.value(DeviceOrviPlus);
    QCOMPARE(paths(plus), QStringList({"/plus/mp.bin", "/plus/dsp.ldr", "/plus/styles.bin",
                                       "/plus/ens.flac"}));
    QCOMPARE(plus[2].type, ComponentType::Styles);
    QCOMPARE(plus[2].version, QStringLiteral("0x0105"));
    QCOMPARE(plus[3].type, ComponentType::EnsembleAudio);

    const QVector<Component> updater = map.value(UpdaterApp);
    QCOMPARE(updater.size(), 2);
    QCOMPARE(updater[0].type, ComponentType::MacApplication);
    QCOMPARE(updater[1].type, ComponentType::WindowsApplication);
    QCOMPARE(updater[1].url, QUrl(QStringLiteral("http://host/app/updater.exe")));

    for (const QVector<Component> &list : map) {
        for (const Component &item : list) {
            QVERIFY(item.filePath.isEmpty());
            QCOMPARE(item.size, uint64_t(0));
        }
    }

    // allComponents() points into the map itself: sizes written through it stay.
    const QVector<Component *> all = parser.allComponents();
    QCOMPARE(all.size(), 9);
    for (int i = 0; i < all.size(); ++i)
        all[i]->size = uint64_t(i + 1);
    uint64_t total = 0;
    for (const QVector<Component> &list : parser.components()) {
        for (const Component &item : list)
            total += item.size;
    }
    QCOMPARE(total, uint64_t(9 * 10 / 2));
}

void TestUpdateManifest::componentTypeNames()
{
    QCOMPARE(componentTypeName(ComponentType::McuFirmware), QStringLiteral("MCU Firmware"));
    QCOMPARE(componentTypeName(ComponentType::DspFirmware), QStringLiteral("DSP Firmware"));
    QCOMPARE(componentTypeName(ComponentType::Styles), QStringLiteral("Styles"));
    QCOMPARE(componentTypeName(ComponentType::EnsembleAudio), QStringLiteral("Ensemble Audio"));
    QCOMPARE(componentTypeName(ComponentType::WindowsApplication),
             QStringLiteral("Windows Application"));
    QCOMPARE(componentTypeName(ComponentType::MacApplication),
             QStringLiteral("Mac OS X Application"));
    QCOMPARE(componentTypeName(ComponentType(6)), QStringLiteral("Unknown Component"));
    QCOMPARE(componentTypeName(ComponentType(-1)), QStringLiteral("Unknown Component"));
}

void TestUpdateManifest::unrecognisedPartsAreSkipped_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QStringList>("plusPaths"); // what survives under ORVI+

    const QByteArray mp = component("MP", "mp");
    QTest::newRow("family name in other case")
            << QByteArray("<Family Name=\"orvi\"><Product Name=\"ORVI+\"><Components>" + mp
                          + "</Components></Product></Family>")
            << QStringList();
    QTest::newRow("unknown root")
            << QByteArray("<Catalogue Name=\"ORVI\"><Product Name=\"ORVI+\"><Components>" + mp
                          + "</Components></Product></Catalogue>")
            << QStringList();
    QTest::newRow("family without name")
            << QByteArray("<Family><Product Name=\"ORVI+\"><Components>" + mp
                          + "</Components></Product></Family>")
            << QStringList();
    QTest::newRow("product name with trailing space")
            << QByteArray("<Family Name=\"ORVI\"><Product Name=\"ORVI+ \"><Components>" + mp
                          + "</Components></Product><Product Name=\"ORVI+\"><Components>"
                          + component("DSP", "dsp") + "</Components></Product></Family>")
            << QStringList({"/dsp"});
    QTest::newRow("component outside Components")
            << QByteArray("<Family Name=\"ORVI\"><Product Name=\"ORVI+\">" + mp
                          + "<Components>" + component("DSP", "dsp")
                          + "</Components></Product></Family>")
            << QStringList({"/dsp"});
    QTest::newRow("nested component")
            << plusManifest("<Component Name=\"MP\" Version=\"1\" ReleaseDate=\"d\" URL=\"http://h/mp\">"
                            + component("DSP", "nested") + "<Extra/></Component>")
            << QStringList({"/mp"});
    QTest::newRow("other children of Family, Product and Components")
            << QByteArray("<Family Name=\"ORVI\"><Notes><Product Name=\"ORVI+\"><Components>" + mp
                          + "</Components></Product></Notes><Product Name=\"ORVI+\"><Info>"
                          + "<Components>" + mp + "</Components></Info><Components><Item>" + mp
                          + "</Item>text" + component("Styles", "styles")
                          + "</Components></Product></Family>")
            << QStringList({"/styles"});
    QTest::newRow("prefixed names")
            << QByteArray("<o:Family xmlns:o=\"urn:orvi\" Name=\"ORVI\"><Product Name=\"ORVI+\">"
                          "<Components>" + mp + "</Components></Product></o:Family>")
            << QStringList();
    QTest::newRow("prefixed component")
            << QByteArray("<Family xmlns:o=\"urn:orvi\" Name=\"ORVI\"><Product Name=\"ORVI+\">"
                          "<Components><o:Component Name=\"Bogus\"/>" + component("DSP", "dsp")
                          + "</Components></Product></Family>")
            << QStringList({"/dsp"});
    QTest::newRow("empty family") << QByteArray("<Family Name=\"ORVI\"/>") << QStringList();
}

void TestUpdateManifest::unrecognisedPartsAreSkipped()
{
    QFETCH(QByteArray, xml);
    QFETCH(QStringList, plusPaths);

    MessageRecorder recorder;
    UpdateManifestParser parser;
    QVERIFY(parseText(parser, xml));
    QCOMPARE(componentCount(parser.components()), plusPaths.size());
    QCOMPARE(paths(parser.components().value(DeviceOrviPlus)), plusPaths);
    for (const QString &message : ValidationMessages)
        QCOMPARE(recorder.count(message), 0);
}

void TestUpdateManifest::invalidComponentFailsTheParse_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("message");

    const QByteArray before = component("MP", "accepted-first");
    auto under = [](const char *product, const QByteArray &components) {
        return QByteArray("<Family Name=\"ORVI\"><Product Name=\"") + product + "\"><Components>"
                + components + "</Components></Product></Family>";
    };
    QTest::newRow("application name under device product")
            << under("ORVI", before + component("Mac", "mac")) << "Invalid component name";
    QTest::newRow("device name under application product")
            << under("Orvi Updater", component("MP", "mp")) << "Invalid component name";
    QTest::newRow("device name under manager product")
            << under("Orvi Manager", component("Ensemble", "e")) << "Invalid component name";
    QTest::newRow("name in other case")
            << plusManifest(component("mp", "mp")) << "Invalid component name";
    QTest::newRow("missing name, version checked later")
            << plusManifest("<Component ReleaseDate=\"d\" URL=\"http://h/x\"/>")
            << "Invalid component name";
    QTest::newRow("empty version")
            << plusManifest(before + "<Component Name=\"DSP\" Version=\"\" ReleaseDate=\"d\" URL=\"http://h/x\"/>")
            << "Invalid component version";
    QTest::newRow("missing version and date")
            << plusManifest("<Component Name=\"DSP\" URL=\"http://h/x\"/>")
            << "Invalid component version";
    QTest::newRow("missing release date")
            << plusManifest("<Component Name=\"Styles\" Version=\"1\" URL=\"http://h/x\"/>")
            << "Invalid component release date";
    QTest::newRow("missing release date and url")
            << plusManifest("<Component Name=\"Styles\" Version=\"1\"/>")
            << "Invalid component release date";
    QTest::newRow("missing url")
            << plusManifest(before + "<Component Name=\"Ensemble\" Version=\"1\" ReleaseDate=\"d\"/>")
            << "Invalid component url";
    QTest::newRow("empty url")
            << plusManifest("<Component Name=\"Ensemble\" Version=\"1\" ReleaseDate=\"d\" URL=\"\"/>")
            << "Invalid component url";
}

void TestUpdateManifest::invalidComponentFailsTheParse()
{
    QFETCH(QByteArray, xml);
    QFETCH(QString, message);

    MessageRecorder recorder;
    UpdateManifestParser parser;
    QVERIFY(!parseText(parser, xml));
    for (const QString &validation : ValidationMessages)
        QCOMPARE(recorder.count(validation), validation == message ? 1 : 0);
    // The rejected component itself is never filed.
    for (const QVector<Component> &list : parser.components()) {
        for (const Component &item : list)
            QCOMPARE(item.url.path(), QStringLiteral("/accepted-first"));
    }
}

void TestUpdateManifest::repeatedContainersAppendToOneList()
{
    const QByteArray xml = "<Family Name=\"ORVI\">"
                           "<Product Name=\"ORVI+\"><Components>" + component("MP", "a")
            + "</Components><Components>" + component("MP", "b") + component("MP", "c")
            + "</Components></Product>"
              "<Product Name=\"ORVI\"><Components>" + component("DSP", "other") + "</Components></Product>"
              "<Product Name=\"ORVI+\"><Components>" + component("DSP", "d")
            + "</Components></Product></Family>";
    UpdateManifestParser parser;
    QVERIFY(parseText(parser, xml));
    const QVector<Component> plus = parser.components().value(DeviceOrviPlus);
    QCOMPARE(paths(plus), QStringList({"/a", "/b", "/c", "/d"}));
    QCOMPARE(plus[1].type, ComponentType::McuFirmware);
    QCOMPARE(plus[2].type, ComponentType::McuFirmware);
    QCOMPARE(paths(parser.components().value(DeviceOrvi)), QStringList({"/other"}));
}

void TestUpdateManifest::malformedXmlFails_data()
{
    QTest::addColumn<QByteArray>("xml");
    const QByteArray good = plusManifest(component("MP", "mp"));
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not xml") << QByteArray("MP=1.0.0\n");
    QTest::newRow("truncated") << good.left(good.size() - 10);
    QTest::newRow("mismatched end tag") << QByteArray(good).replace("</Product>", "</Produkt>");
    QTest::newRow("two roots") << good + good;
    QTest::newRow("unquoted attribute")
            << plusManifest("<Component Name=MP Version=\"1\" ReleaseDate=\"d\" URL=\"http://h/\"/>");
    QTest::newRow("unclosed comment") << plusManifest("<!-- " + component("MP", "mp"));
    QTest::newRow("bare ampersand") << plusManifest("fish & chips");
}

void TestUpdateManifest::malformedXmlFails()
{
    QFETCH(QByteArray, xml);
    UpdateManifestParser parser;
    QVERIFY(!parseText(parser, xml));
}

void TestUpdateManifest::handlerGuardsItsStack()
{
    MessageRecorder recorder;
    UpdateManifestParser parser;
    QVERIFY(parser.startDocument());
    QVERIFY(!parser.endElement(QString(), QString(), QStringLiteral("Family")));
    QCOMPARE(recorder.count(QStringLiteral("ERROR: UpdateManifestParser: Failed to pop state.")), 1);

    QXmlAttributes attributes;
    attributes.append(QStringLiteral("Name"), QString(), QStringLiteral("Name"),
                      QStringLiteral("ORVI"));
    QVERIFY(parser.startElement(QString(), QString(), QStringLiteral("Family"), attributes));
    QVERIFY(!parser.endDocument());
    QVERIFY(parser.endElement(QString(), QString(), QStringLiteral("Family")));
    QVERIFY(parser.endDocument());
}

void TestUpdateManifest::parserIsReusableAfterReset()
{
    UpdateManifestParser parser;
    // Stops inside open elements, leaving states behind.
    QVERIFY(!parseText(parser, plusManifest(component("MP", "old") + component("Win", "bad"))));
    parser.reset();
    QVERIFY(parser.components().isEmpty());

    QVERIFY(parseText(parser, plusManifest(component("DSP", "new"))));
    QCOMPARE(componentCount(parser.components()), 1);
    QCOMPARE(paths(parser.components().value(DeviceOrviPlus)), QStringList({"/new"}));
}

void TestUpdateManifest::entityExpansionIsRefusedWithinBoundedMemory()
{
    if (PeakMemory::statusField("VmHWM:") < 0)
        QSKIP("needs /proc/self/status");

    // Ten levels of ten references each: 10^10 copies of "lol" if expanded.
    QByteArray xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE Family [\n<!ENTITY lol0 \"lol\">\n";
    for (int level = 1; level <= 10; ++level) {
        xml += "<!ENTITY lol" + QByteArray::number(level) + " \"";
        for (int i = 0; i < 10; ++i)
            xml += "&lol" + QByteArray::number(level - 1) + ";";
        xml += "\">\n";
    }
    xml += "]>\n" + plusManifest("<Component Name=\"MP\" Version=\"&lol10;\" ReleaseDate=\"d\" URL=\"http://h/\"/>");

    PeakMemory memory;
    memory.start();
    UpdateManifestParser parser;
    // The reader limits entity expansion and rejects the document.
    QVERIFY(!parseText(parser, xml));
    QVERIFY(parser.components().isEmpty());
    QVERIFY2(memory.growthKiB() < 16 * 1024, qPrintable(QString::number(memory.growthKiB())));
}

void TestUpdateManifest::oversizedDocumentIsRefusedUnread()
{
    if (PeakMemory::statusField("VmHWM:") < 0)
        QSKIP("needs /proc/self/status");

    // 50 MB of attribute text, which the reader would otherwise hold whole.
    const QString path = QDir::tempPath() + QStringLiteral("/huge-manifest.xml");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<Family Name=\"ORVI\"><Product Name=\"ORVI+\"><Components>"
                   "<Component Name=\"MP\" Version=\"1\" ReleaseDate=\"d\" URL=\"http://h/");
        const QByteArray block(1024 * 1024, 'x');
        for (int i = 0; i < 50; ++i)
            file.write(block);
        file.write("\"/></Components></Product></Family>\n");
    }

    MessageRecorder recorder;
    PeakMemory memory;
    memory.start();
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    UpdateManifestParser parser;
    QVERIFY(!parser.parse(&file));
    QVERIFY(parser.components().isEmpty());
    QCOMPARE(recorder.messagesStartingWith(QStringLiteral("UpdateManifestParser: manifest too large:")).size(), 1);
    QVERIFY2(memory.growthKiB() < 16 * 1024, qPrintable(QString::number(memory.growthKiB())));
    file.close();
    QFile::remove(path);
}

void TestUpdateManifest::documentAtTheSizeLimitIsRead()
{
    QByteArray components;
    const QByteArray head = plusManifest(QByteArray());
    const QByteArray item = component("MP", "component-with-a-reasonably-long-path.bin") + "\n";
    int count = 0;
    while (head.size() + components.size() + item.size() <= UpdateManifestParser::MaxManifestSize) {
        components += item;
        ++count;
    }
    QByteArray xml = plusManifest(components);
    xml += QByteArray(int(UpdateManifestParser::MaxManifestSize - xml.size()), '\n');
    QCOMPARE(qint64(xml.size()), UpdateManifestParser::MaxManifestSize);

    UpdateManifestParser parser;
    QVERIFY(parseText(parser, xml));
    QCOMPARE(parser.components().value(DeviceOrviPlus).size(), count);

    parser.reset();
    QVERIFY(!parseText(parser, xml + "\n"));
}

QTEST_GUILESS_MAIN(TestUpdateManifest)
#include "tst_update_manifest.moc"
