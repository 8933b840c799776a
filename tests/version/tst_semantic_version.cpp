#include "update/semantic_version.h"

#include <QtTest>

using OrviPlus::SemanticVersion;

namespace {

// Identifiers written as "#7" for the number 7 and as the label otherwise,
// so that a label that merely looks like a number is told apart.
QStringList describe(const QVector<SemanticVersion::PreReleaseIdentifier> &identifiers)
{
    QStringList described;
    for (const SemanticVersion::PreReleaseIdentifier &identifier : identifiers) {
        if (identifier.numeric) {
            described << QStringLiteral("#%1").arg(identifier.number);
            if (!identifier.label.isEmpty())
                described << QStringLiteral("(label kept on a number)");
        } else {
            described << QString::fromUtf8(identifier.label);
        }
    }
    return described;
}

bool less(const char *a, const char *b)
{
    return SemanticVersion(QString::fromUtf8(a)) < SemanticVersion(QString::fromUtf8(b));
}

} // namespace

class TestSemanticVersion : public QObject
{
    Q_OBJECT

private slots:
    void defaultValue();
    void parsesAndPrints_data();
    void parsesAndPrints();
    void rejects_data();
    void rejects();

    void precedenceChain_data();
    void precedenceChain();
    void numbersCompareAsNumbers();
    void labelsCompareAsUnsignedBytes();
    void releaseAndEmptyPreReleaseAreEqual();
    void noVersionIsLessThanItself_data();
    void noVersionIsLessThanItself();
};

void TestSemanticVersion::defaultValue()
{
    const SemanticVersion version;
    QCOMPARE(version.major, 0);
    QCOMPARE(version.minor, 0);
    QCOMPARE(version.patch, 0);
    QVERIFY(version.preRelease.isEmpty());
    QCOMPARE(version.text(), QStringLiteral("0.0.0"));
}

void TestSemanticVersion::parsesAndPrints_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("patch");
    QTest::addColumn<QStringList>("preRelease");
    QTest::addColumn<QString>("printed");

    const QStringList none;
    QTest::newRow("application") << "2.0.2" << 2 << 0 << 2 << none << "2.0.2";
    QTest::newRow("trailing full stop") << "1.2.3." << 1 << 2 << 3 << none << "1.2.3";
    QTest::newRow("leading blank") << " 1.2.3" << 1 << 2 << 3 << none << "1.2.3";
    QTest::newRow("blanks before each field") << "\t1.\n2.\r3" << 1 << 2 << 3 << none << "1.2.3";
    QTest::newRow("text after patch") << "1.2.3x" << 1 << 2 << 3 << none << "1.2.3";
    QTest::newRow("plus signs") << "+1.+2.+3" << 1 << 2 << 3 << none << "1.2.3";
    QTest::newRow("build metadata dropped") << "1.2.3+7" << 1 << 2 << 3 << none << "1.2.3";
    QTest::newRow("leading zeros") << "01.2.3-rc.007" << 1 << 2 << 3
                                   << QStringList{"rc", "#7"} << "1.2.3-rc.7";
    QTest::newRow("large numbers") << "2147483647.10.2000000000" << 2147483647 << 10
                                   << 2000000000 << none << "2147483647.10.2000000000";
    QTest::newRow("empty pre-release") << "1.2.3-" << 1 << 2 << 3 << none << "1.2.3";
    QTest::newRow("pre-release trailing stop") << "1.2.3-alpha." << 1 << 2 << 3
                                               << QStringList{"alpha"} << "1.2.3-alpha";
    QTest::newRow("hyphen inside pre-release") << "1.2.3-alpha-2" << 1 << 2 << 3
                                               << QStringList{"alpha-2"} << "1.2.3-alpha-2";
    QTest::newRow("number with suffix") << "1.0.0-7beta.1a" << 1 << 0 << 0
                                        << QStringList{"#7", "#1"} << "1.0.0-7.1";
    QTest::newRow("plus inside pre-release") << "1.0.0-beta+exp.5" << 1 << 0 << 0
                                             << QStringList{"beta+exp", "#5"}
                                             << "1.0.0-beta+exp.5";
    QTest::newRow("negative pre-release number") << "1.0.0--2147483648" << 1 << 0 << 0
                                                 << QStringList{"#-2147483648"}
                                                 << "1.0.0--2147483648";
    QTest::newRow("blank piece is a label") << "1.0.0- .x" << 1 << 0 << 0
                                            << QStringList{" ", "x"} << "1.0.0- .x";
    QTest::newRow("non-ASCII label") << QString::fromUtf8("1.0.0-\xc3\xa9t\xc3\xa9.3") << 1 << 0
                                     << 0 << QStringList{QString::fromUtf8("\xc3\xa9t\xc3\xa9"), "#3"}
                                     << QString::fromUtf8("1.0.0-\xc3\xa9t\xc3\xa9.3");
}

void TestSemanticVersion::parsesAndPrints()
{
    QFETCH(QString, input);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, patch);
    QFETCH(QStringList, preRelease);
    QFETCH(QString, printed);

    const SemanticVersion version(input);
    QCOMPARE(version.major, major);
    QCOMPARE(version.minor, minor);
    QCOMPARE(version.patch, patch);
    QCOMPARE(describe(version.preRelease), preRelease);
    QCOMPARE(version.text(), printed);
    // What is printed reads back as the same version.
    QCOMPARE(describe(SemanticVersion(version.text()).preRelease), preRelease);
}

void TestSemanticVersion::rejects_data()
{
    QTest::addColumn<QString>("input");

    QTest::newRow("two fields") << "1.2";
    QTest::newRow("four fields") << "1.2.3.4";
    QTest::newRow("empty") << "";
    QTest::newRow("only pre-release") << "-beta";
    QTest::newRow("lone full stop") << ".";
    QTest::newRow("three empty fields") << "..";
    QTest::newRow("empty middle field") << "1..3";
    QTest::newRow("empty first field") << ".1.2";
    QTest::newRow("letters") << "a.b.c";
    QTest::newRow("letter before digits") << "1.2.x3";
    QTest::newRow("blank field") << "1. .3";
    QTest::newRow("sign without digits") << "1.+.3";
    QTest::newRow("hyphen cuts the core") << "1.2.-3";
    QTest::newRow("patch out of range") << "1.2.99999999999";
    QTest::newRow("major just out of range") << "2147483648.0.0";
    QTest::newRow("very long number") << "1.2.3000000000000000000000000000000000000000";
    QTest::newRow("empty piece between") << "1.2.3-alpha..1";
    QTest::newRow("empty first piece") << "1.2.3-.alpha";
    QTest::newRow("lone stop after hyphen") << "1.2.3-.";
    QTest::newRow("pre-release out of range") << "1.2.3-rc.99999999999";
    QTest::newRow("pre-release below range") << "1.2.3--2147483649";
    QTest::newRow("out of range with suffix") << "1.2.3-4294967296abc";
}

void TestSemanticVersion::rejects()
{
    QFETCH(QString, input);
    QVERIFY_EXCEPTION_THROWN(SemanticVersion{input}, SemanticVersion::error);
}

void TestSemanticVersion::precedenceChain_data()
{
    QTest::addColumn<QStringList>("ascending");

    QTest::newRow("semver.org example")
        << QStringList{"1.0.0-alpha",  "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",
                       "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1",       "1.0.0"};
    QTest::newRow("core fields in order")
        << QStringList{"0.0.1", "0.1.0", "0.9.9", "0.10.0", "1.0.0-rc.1", "1.0.0", "1.0.1",
                       "1.9.0", "1.10.0", "2.0.0-0", "2.0.0", "10.0.0"};
    QTest::newRow("numbers before labels")
        << QStringList{"1.0.0--5", "1.0.0-0", "1.0.0-9", "1.0.0-A", "1.0.0-Z", "1.0.0-a",
                       "1.0.0-a.0", "1.0.0-a.a", "1.0.0-alpha", "1.0.0-b"};
    QTest::newRow("first difference decides")
        << QStringList{"1.0.0-1.z.z", "1.0.0-2.a", "1.0.0-2.b.0", "1.0.0-3", "1.0.0"};
}

void TestSemanticVersion::precedenceChain()
{
    QFETCH(QStringList, ascending);
    for (int i = 0; i < ascending.size(); ++i) {
        for (int j = 0; j < ascending.size(); ++j) {
            const SemanticVersion a(ascending.at(i));
            const SemanticVersion b(ascending.at(j));
            if ((a < b) != (i < j))
                QFAIL(qPrintable(QStringLiteral("%1 < %2 should be %3")
                                     .arg(ascending.at(i), ascending.at(j))
                                     .arg(i < j ? "true" : "false")));
        }
    }
}

void TestSemanticVersion::numbersCompareAsNumbers()
{
    QVERIFY(less("1.0.0-2", "1.0.0-10"));
    QVERIFY(!less("1.0.0-10", "1.0.0-2"));
    // 1a is read as the number 1.
    QVERIFY(less("1.0.0-1a", "1.0.0-10"));
    QVERIFY(!less("1.0.0-1a", "1.0.0-1"));
    QVERIFY(!less("1.0.0-1", "1.0.0-1a"));
    QVERIFY(!less("1.10.0", "1.9.0"));
    QVERIFY(less("1.9.0", "1.10.0"));
    QVERIFY(less("1.2.3-beta.-1", "1.2.3-beta.0"));
    QVERIFY(less("0.0.0-2147483647", "0.0.0-a"));
}

void TestSemanticVersion::labelsCompareAsUnsignedBytes()
{
    const char *eAcute = "1.0.0-\xc3\xa9";
    QVERIFY(less("1.0.0-z", eAcute));
    QVERIFY(!less(eAcute, "1.0.0-z"));
    QVERIFY(less("1.0.0-alpha", "1.0.0-alphabet"));
    QVERIFY(!less("1.0.0-alphabet", "1.0.0-alpha"));
    // A hyphen belongs to the label; only full stops separate identifiers.
    QVERIFY(less("1.0.0-a.b", "1.0.0-a-b"));
    QVERIFY(!less("1.0.0-a-b", "1.0.0-a.b"));
}

void TestSemanticVersion::releaseAndEmptyPreReleaseAreEqual()
{
    QVERIFY(!less("1.2.3-", "1.2.3"));
    QVERIFY(!less("1.2.3", "1.2.3-"));
    QVERIFY(!less("1.2.3+9", "1.2.3"));
    QVERIFY(!less("1.2.3", "1.2.3+9"));
    QVERIFY(less("1.2.3-rc", "1.2.3-"));
    QVERIFY(!less("1.2.3-", "1.2.3-rc"));
}

void TestSemanticVersion::noVersionIsLessThanItself_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("release") << "2.0.2";
    QTest::newRow("pre-release") << "2.0.2-beta.3";
    QTest::newRow("numeric pre-release") << "2.0.2-3";
}

void TestSemanticVersion::noVersionIsLessThanItself()
{
    QFETCH(QString, version);
    const SemanticVersion value(version);
    QVERIFY(!(value < value));
    QVERIFY(!(value < SemanticVersion(version)));
}

QTEST_GUILESS_MAIN(TestSemanticVersion)

#include "tst_semantic_version.moc"
