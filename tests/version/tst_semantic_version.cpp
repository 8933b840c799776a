#include "update/semantic_version.h"

#include <QtTest>

#include <utility>

using OrviPlus::SemanticVersion;

class TestSemanticVersion : public QObject
{
    Q_OBJECT

private slots:
    void rejects()
    {
        for (const char *input : {"1.2", "1.2.3.4", "", "1..3", "a.b.c", "2147483648.0.0", "1.2.3-alpha..1",
                                  "1.2.3-rc.99999999999"})
            QVERIFY_EXCEPTION_THROWN(SemanticVersion{QString::fromUtf8(input)}, SemanticVersion::error);
    }

    // Every pair of each ascending chain, a version with itself included.
    void precedence()
    {
        const QStringList chains[] = {
            // pre-releases before the release
            {"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta", "1.0.0-beta.2", "1.0.0-beta.11",
             "1.0.0-rc.1", "1.0.0"},
            // core fields as numbers
            {"0.0.1", "0.1.0", "0.9.9", "1.9.0", "1.10.0", "2.0.0-0", "2.0.0", "10.0.0"},
            // signed numbers before unsigned-byte labels
            {"1.0.0--5", "1.0.0-0", "1.0.0-1a", "1.0.0-2", "1.0.0-10", "1.0.0-2147483647", "1.0.0-A", "1.0.0-Z",
             "1.0.0-a", "1.0.0-a.0", "1.0.0-a.a", "1.0.0-a.b", "1.0.0-a-b", "1.0.0-alpha", "1.0.0-alphabet",
             "1.0.0-z", QString::fromUtf8("1.0.0-\xc3\xa9")},
            // the first difference decides
            {"1.0.0-1.z.z", "1.0.0-2.a", "1.0.0-2.b.0", "1.0.0-3", "1.0.0"}};
        for (const QStringList &ascending : chains) {
            for (int i = 0; i < ascending.size(); ++i) {
                for (int j = 0; j < ascending.size(); ++j)
                    QVERIFY2((SemanticVersion(ascending.at(i)) < SemanticVersion(ascending.at(j))) == (i < j),
                             qPrintable(ascending.at(i) + (i < j ? " < " : " >= ") + ascending.at(j)));
            }
        }

        // An empty pre-release, a build suffix and text after a number do not count.
        const std::pair<const char *, const char *> equal[] = {
                {"1.2.3-", "1.2.3"}, {"1.2.3+9", "1.2.3"}, {"1.0.0-1a", "1.0.0-1"}};
        for (const auto &[a, b] : equal)
            QVERIFY2(!(SemanticVersion(a) < SemanticVersion(b)) && !(SemanticVersion(b) < SemanticVersion(a)), a);
    }
};

QTEST_GUILESS_MAIN(TestSemanticVersion)
#include "tst_semantic_version.moc"
