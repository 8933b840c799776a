#include "update/update_manifest.h"

#include "message_log.h"

#include <QBuffer>
#include <QTemporaryFile>
#include <QtTest>

using namespace OrviPlus;

namespace {

bool parseText(UpdateManifestParser &parser, QByteArray xml)
{
    QBuffer buffer(&xml);
    return buffer.open(QIODevice::ReadOnly) && parser.parse(&buffer);
}

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

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int at = text.indexOf(field);
    return at < 0 ? -1 : text.mid(at + int(qstrlen(field)), 20).simplified().split(' ').first().toLongLong();
}

// Resets the peak where the kernel allows it (else growth can only be overstated).
qint64 resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
    return statusKiB("VmRSS:");
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
        QTest::addColumn<QString>("failure"); // the message logged, or "malformed"; empty for success
        const auto row = [](const char *name, const QByteArray &xml, const QStringList &expected,
                            const QString &failure = QString()) {
            QTest::newRow(name) << xml << expected << failure;
        };

        const QByteArray mp = component("MP", "mp");
        const QByteArray dsp = component("DSP", "dsp");
        const QStringList dspOnly = {plus("DSP Firmware", "dsp")};
        row("unknown root", family(product("ORVI+", mp), "Catalogue Name=\"ORVI\""), {});
        row("product with trailing space", family(product("ORVI+ ", mp) + product("ORVI+", dsp)), dspOnly);
        row("component outside Components, other children, comments",
            family("<!-- notes --><Notes>" + product("ORVI+", mp) + "</Notes><Product Name=\"ORVI+\" xmlns:o=\"urn:o\">" + mp
                   + "<Info><Components>" + mp + "</Components></Info><o:Components>" + mp
                   + "</o:Components><Components>text<?note?><Item>" + mp + "</Item><o:Component Name=\"MP\"/>" + dsp
                   + "</Components></Product>"),
            dspOnly);
        row("nested component",
            manifest("ORVI+", "<Component Name=\"MP\" Version=\"1\" ReleaseDate=\"d\" URL=\"http://h/mp\">" + dsp
                                      + "</Component>"),
            {plus("MCU Firmware", "mp")});
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
        row("empty version", plusWith("Name=\"DSP\" Version=\"\" ReleaseDate=\"d\" URL=\"u\""), firstOnly,
            "Invalid component version");
        row("missing url", plusWith("Name=\"Ensemble\" Version=\"1\" ReleaseDate=\"d\""), firstOnly,
            "Invalid component url");
        const QByteArray digest = QByteArray("0123456789abcdefABCDEF").repeated(3).left(64);
        const QByteArray withDigest = "Name=\"DSP\" Version=\"1\" ReleaseDate=\"d\" URL=\"http://h/dsp\" SHA256=";
        row("digest in either case", plusWith(withDigest + "\"" + digest + "\""),
            firstOnly + QStringList{plus("DSP Firmware", "dsp")});
        row("digest too short", plusWith(withDigest + "\"" + digest.left(63) + "\""), firstOnly,
            "Invalid component checksum");
        row("digest not hexadecimal", plusWith(withDigest + "\"" + digest.left(63) + "g\""), firstOnly,
            "Invalid component checksum");

        row("truncated", manifest("ORVI+", mp).left(60), {}, "malformed");
        row("bare ampersand", manifest("ORVI+", "fish & chips"), {}, "malformed");

        // Family, Product and Components are the first three levels.
        const auto nested = [&](int depth) {
            const int wrappers = depth - 3;
            return family("<Product Name=\"ORVI+\"><Components>" + mp + QByteArray("<w>").repeated(wrappers)
                          + QByteArray("</w>").repeated(wrappers) + "</Components></Product>");
        };
        const QString tooDeep = QStringLiteral("UpdateManifestParser: manifest nested deeper than 64 levels.");
        row("nested 64 levels", nested(64), {plus("MCU Firmware", "mp")});
        row("nested 65 levels", nested(65), {plus("MCU Firmware", "mp")}, tooDeep);
        row("nested 25000 levels", nested(25000), {plus("MCU Firmware", "mp")}, tooDeep);
    }

    void parse()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, expected);
        QFETCH(QString, failure);
        MessageLog log;
        UpdateManifestParser parser;
        QCOMPARE(parseText(parser, xml), failure.isEmpty());
        QCOMPARE(filed(parser.components()), expected);
        QCOMPARE(log.startingWith(QStringLiteral("Invalid component"))
                         + log.startingWith(QStringLiteral("UpdateManifestParser:")),
                 failure.isEmpty() || failure == QLatin1String("malformed") ? QStringList() : QStringList(failure));
    }

    void hostileDocumentsStayWithinBoundedMemory()
    {
        if (statusKiB("VmHWM:") < 0)
            QSKIP("needs /proc/self/status");

        // Ten levels of ten references each: 10^10 copies of "lol" if expanded.
        QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Family [\n<!ENTITY lol0 \"lol\">\n";
        for (int level = 1; level <= 10; ++level)
            laughs += "<!ENTITY lol" + QByteArray::number(level) + " \""
                    + QByteArray("&lol" + QByteArray::number(level - 1) + ";").repeated(10) + "\">\n";
        laughs += "]>\n" + manifest("ORVI+", component("MP", "&lol10;"));
        // Either may be refused or read, as long as memory stays bounded.
        qint64 base = resetPeakMemory();
        UpdateManifestParser parser;
        parseText(parser, laughs);
        QVERIFY2(statusKiB("VmHWM:") - base < 16 * 1024, "entity expansion");

        // 50 MB of attribute text, which the reader would otherwise hold whole.
        QTemporaryFile huge;
        QVERIFY(huge.open());
        const QList<QByteArray> ends = manifest("ORVI+", component("MP", "@")).split('@');
        huge.write(ends[0]);
        huge.write(QByteArray(50 * 1024 * 1024, 'x'));
        huge.write(ends[1]);
        huge.seek(0);
        base = resetPeakMemory();
        parser.parse(&huge);
        QVERIFY2(statusKiB("VmHWM:") - base < 16 * 1024, "50 MB document");
    }
};

QTEST_GUILESS_MAIN(TestUpdateManifest)
#include "tst_update_manifest.moc"
