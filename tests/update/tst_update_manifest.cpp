#include "update/update_manifest.h"

#include "message_log.h"

#include <QBuffer>
#include <QtTest>

using namespace OrviPlus;

namespace {

QByteArray component(const QByteArray &name, const QByteArray &path)
{
    return "<Component Name=\"" + name + "\" Version=\"1\" ReleaseDate=\"d\" URL=\"http://h/" + path + "\"/>";
}

QByteArray product(const QByteArray &name, const QByteArray &components)
{
    return "<Product Name=\"" + name + "\"><Components>" + components + "</Components></Product>";
}

QByteArray family(const QByteArray &products, const QByteArray &start = "Family Name=\"ORVI\"")
{
    return "<" + start + ">" + products + "</" + start.left(start.indexOf(' ')) + ">";
}

QByteArray manifest(const QByteArray &name, const QByteArray &components)
{
    return family(product(name, components));
}

// "product type version date url" of every filed component, products in key order.
QStringList filed(const ComponentMap &map)
{
    QStringList found;
    for (int product = DeviceOrvi; product <= ManagerApp; ++product) {
        for (const Component &item : map.value(ManifestProduct(product)))
            found << QStringLiteral("%1 %2 %3 %4 %5").arg(product).arg(componentTypeName(item.type),
                                                                       item.version, item.releaseDate,
                                                                       item.url.toString());
    }
    return found;
}

QString plus(const QString &type, const QString &path)
{
    return QStringLiteral("1 %1 1 d http://h/%2").arg(type, path);
}

} // namespace

class TestUpdateManifest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QStringList>("expected"); // what is filed afterwards
        QTest::addColumn<QString>("failure"); // the message logged; empty for success
        const auto row = [](const char *name, const QByteArray &xml, const QStringList &expected,
                            const QString &failure = QString()) {
            QTest::newRow(name) << xml << expected << failure;
        };

        const QByteArray mp = component("MP", "mp");
        const QByteArray dsp = component("DSP", "dsp");
        const QStringList dspOnly = {plus("DSP Firmware", "dsp")};
        row("unknown root", family(product("ORVI+", mp), "Catalogue Name=\"ORVI\""), {});
        row("another family", family(product("ORVI+", mp), "Family Name=\"ORVO\""), {});
        row("component outside Components, other children, nested, comments",
            family("<!-- notes --><Notes>" + product("ORVI+", mp) + "</Notes><Product Name=\"ORVI+\" xmlns:o=\"urn:o\">" + mp
                   + "<Info><Components>" + mp + "</Components></Info><o:Components>" + mp
                   + "</o:Components><Components>text<?note?><Item>" + mp + "</Item><o:Component Name=\"MP\"/>"
                   + dsp.chopped(2) + ">" + mp + "</Component></Components></Product>"),
            dspOnly);
        row("two Components and two equal products",
            family("<Product Name=\"ORVI+\"><Components>" + mp + "</Components><Components>" + component("MP", "b")
                   + "</Components></Product>" + product("ORVI", dsp) + product("ORVI+", dsp)),
            {"0 DSP Firmware 1 d http://h/dsp", plus("MCU Firmware", "mp"), plus("MCU Firmware", "b"),
             plus("DSP Firmware", "dsp")});

        // A rejected component is never filed; the one before it is.
        const QByteArray first = component("MP", "first");
        const QStringList firstOnly = {plus("MCU Firmware", "first")};
        const auto plusWith = [&](const QByteArray &attributes) {
            return manifest("ORVI+", first + "<Component " + attributes + "/>");
        };
        row("application name under device product", manifest("ORVI", first + component("Mac", "mac")),
            {"0 MCU Firmware 1 d http://h/first"}, "Invalid component name");
        const QByteArray digest = QByteArray("0123456789abcdefABCDEF").repeated(3).left(64);
        const QByteArray withDigest = "Name=\"DSP\" Version=\"1\" ReleaseDate=\"d\" URL=\"http://h/dsp\" SHA256=";
        row("digest in either case", plusWith(withDigest + "\"" + digest + "\""),
            firstOnly + QStringList{plus("DSP Firmware", "dsp")});
        row("digest too short", plusWith(withDigest + "\"" + digest.left(62) + "\""), firstOnly,
            "Invalid component checksum");
        row("digest not hexadecimal", plusWith(withDigest + "\"" + digest.left(63) + "g\""), firstOnly,
            "Invalid component checksum");

        // Refused before reading, as the reader holds long texts whole.
        const int room = int(UpdateManifestParser::MaxManifestSize) - manifest("ORVI+", mp).size();
        row("1 MiB", manifest("ORVI+", mp + QByteArray(room, ' ')), {plus("MCU Firmware", "mp")});
        row("over 1 MiB", manifest("ORVI+", mp + QByteArray(room + 1, ' ')), {},
            "UpdateManifestParser: manifest too large: 1048577 bytes");

        // Family, Product and Components are the first three levels.
        const QByteArray wrappers = QByteArray("<w>").repeated(61) + QByteArray("</w>").repeated(61);
        row("nested 64 levels", manifest("ORVI+", mp + wrappers), {plus("MCU Firmware", "mp")});
        row("nested 65 levels", manifest("ORVI+", mp + "<w>" + wrappers + "</w>"), {plus("MCU Firmware", "mp")},
            "UpdateManifestParser: manifest nested deeper than 64 levels.");
    }

    void parse()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, expected);
        QFETCH(QString, failure);
        QBuffer buffer(&xml);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        MessageLog log;
        UpdateManifestParser parser;
        QCOMPARE(parser.parse(&buffer), failure.isEmpty());
        QCOMPARE(filed(parser.components()), expected);
        QCOMPARE(log.startingWith(QStringLiteral("Invalid component"))
                         + log.startingWith(QStringLiteral("UpdateManifestParser:")),
                 failure.isEmpty() ? QStringList() : QStringList(failure));
    }
};

QTEST_GUILESS_MAIN(TestUpdateManifest)
#include "tst_update_manifest.moc"
