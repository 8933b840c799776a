#ifndef ORVI_SEMANTIC_VERSION_H
#define ORVI_SEMANTIC_VERSION_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

namespace OrviPlus {

// Version of the updater application: major.minor.patch with an optional
// pre-release part, ordered by Semantic Versioning 2.0.0 precedence.
class SemanticVersion
{
public:
    // Thrown for any text that is not a version; carries nothing.
    class error
    {
    };

    struct PreReleaseIdentifier
    {
        bool numeric = false;
        int32_t number = 0;
        QByteArray label;
    };

    SemanticVersion() = default;
    explicit SemanticVersion(const QString &text);

    QString text() const;

    int32_t major = 0;
    int32_t minor = 0;
    int32_t patch = 0;
    QVector<PreReleaseIdentifier> preRelease;
};

bool operator<(const SemanticVersion &a, const SemanticVersion &b);

} // namespace OrviPlus

#endif // ORVI_SEMANTIC_VERSION_H
