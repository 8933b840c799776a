#include "update/semantic_version.h"

#include <QtTest>

using OrviPlus::SemanticVersion;

class TestSemanticVersion : public QObject
{
    Q_OBJECT

private slots:
    void rejects_data();
    void rejects();
    void precedenceChain_data();
    void precedenceChain();
    void equalPrecedence_data();
    void equalPrecedence();
};

void TestSemanticVersion::rejects_data()
{
    QTest::addColumn<QString>("input");

    for (const char *input :
         {"1.2", "1.2.3.4", "", "1..3", "a.b.c", "2147483648.0.0", "1.2.3-alpha..1", "1.2.3-rc.99999999999"})
        QTest::newRow(input) << QString::fromUtf8(input);
}

void TestSemanticVersion::rejects()
{
    QFETCH(QString, input);
    QVERIFY_EXCEPTION_THROWN(SemanticVersion{input}, SemanticVersion::error);
}

void TestSemanticVersion::precedenceChain_data()
{
    QTest::addColumn<QStringList>("ascending");

    QTest::newRow("pre-releases before the release")
        << QStringList{"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",
                       "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1", "1.0.0"};
    QTest::newRow("core fields as numbers")
        << QStringList{"0.0.1", "0.1.0", "0.9.9", "1.9.0", "1.10.0", "2.0.0-0", "2.0.0", "10.0.0"};
    QTest::newRow("signed numbers before unsigned-byte labels")
        << QStringList{"1.0.0--5", "1.0.0-0", "1.0.0-1a", "1.0.0-2", "1.0.0-10", "1.0.0-2147483647",
                       "1.0.0-A", "1.0.0-Z", "1.0.0-a", "1.0.0-a.0", "1.0.0-a.a", "1.0.0-a.b",
                       "1.0.0-a-b", "1.0.0-alpha", "1.0.0-alphabet", "1.0.0-z",
                       QString::fromUtf8("1.0.0-\xc3\xa9")};
    QTest::newRow("first difference decides")
        << QStringList{"1.0.0-1.z.z", "1.0.0-2.a", "1.0.0-2.b.0", "1.0.0-3", "1.0.0"};
}

// Every pair of the chain, a version with itself included.
void TestSemanticVersion::precedenceChain()
{
    QFETCH(QStringList, ascending);
    for (int i = 0; i < ascending.size(); ++i) {
        for (int j = 0; j < ascending.size(); ++j) {
            if ((SemanticVersion(ascending.at(i)) < SemanticVersion(ascending.at(j))) != (i < j))
                QFAIL(qPrintable(QStringLiteral("%1 < %2 should be %3")
                                     .arg(ascending.at(i), ascending.at(j), i < j ? "true" : "false")));
        }
    }
}

void TestSemanticVersion::equalPrecedence_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::newRow("empty pre-release") << "1.2.3-" << "1.2.3";
    QTest::newRow("dropped plus") << "1.2.3+9" << "1.2.3";
    QTest::newRow("suffix of a number") << "1.0.0-1a" << "1.0.0-1";
}

void TestSemanticVersion::equalPrecedence()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QVERIFY(!(SemanticVersion(a) < SemanticVersion(b)));
    QVERIFY(!(SemanticVersion(b) < SemanticVersion(a)));
}

QTEST_GUILESS_MAIN(TestSemanticVersion)

#include "tst_semantic_version.moc"
