#include "update/semantic_version.h"

#include <algorithm>
#include <limits>

namespace OrviPlus {

namespace {

// Fields are read the way delimited fields come off a stream: a read that
// starts at the end yields nothing, so a trailing separator adds no field,
// while an empty piece before or between separators is a field of its own.
QVector<QByteArray> splitFields(const QByteArray &bytes)
{
    QVector<QByteArray> fields;
    int position = 0;
    while (position < bytes.size()) {
        const int stop = bytes.indexOf('.', position);
        if (stop < 0) {
            fields.append(bytes.mid(position));
            position = bytes.size();
        } else {
            fields.append(bytes.mid(position, stop - position));
            position = stop + 1;
        }
    }
    return fields;
}

enum class NumberConversion { Accepted, NotANumber, OutOfRange };

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the number at the start of a field like strtol does (leading blanks,
// optional sign, digits; the rest is ignored) and checks the 32-bit range.
NumberConversion convertLeadingNumber(const QByteArray &field, int32_t *value)
{
    int position = 0;
    while (position < field.size() && isBlank(field.at(position)))
        ++position;
    bool negative = false;
    if (position < field.size() && (field.at(position) == '+' || field.at(position) == '-')) {
        negative = field.at(position) == '-';
        ++position;
    }
    const int firstDigit = position;
    // Saturates just beyond the 32-bit range so that long digit runs cannot overflow.
    const int64_t beyondRange = int64_t(std::numeric_limits<int32_t>::max()) + 2;
    int64_t magnitude = 0;
    while (position < field.size() && field.at(position) >= '0' && field.at(position) <= '9') {
        magnitude = std::min(magnitude * 10 + (field.at(position) - '0'), beyondRange);
        ++position;
    }
    if (position == firstDigit)
        return NumberConversion::NotANumber;
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < std::numeric_limits<int32_t>::min()
        || signedValue > std::numeric_limits<int32_t>::max())
        return NumberConversion::OutOfRange;
    *value = int32_t(signedValue);
    return NumberConversion::Accepted;
}

int32_t coreNumber(const QByteArray &field)
{
    int32_t value = 0;
    if (field.isEmpty() || convertLeadingNumber(field, &value) != NumberConversion::Accepted)
        throw SemanticVersion::error();
    return value;
}

bool labelLess(const QByteArray &a, const QByteArray &b)
{
    return std::lexicographical_compare(
        reinterpret_cast<const unsigned char *>(a.constData()),
        reinterpret_cast<const unsigned char *>(a.constData()) + a.size(),
        reinterpret_cast<const unsigned char *>(b.constData()),
        reinterpret_cast<const unsigned char *>(b.constData()) + b.size());
}

} // namespace

SemanticVersion::SemanticVersion(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    const int hyphen = bytes.indexOf('-');
    const QByteArray core = hyphen < 0 ? bytes : bytes.left(hyphen);
    const QByteArray preReleasePart = hyphen < 0 ? QByteArray() : bytes.mid(hyphen + 1);

    const QVector<QByteArray> coreFields = splitFields(core);
    if (coreFields.size() != 3)
        throw error();
    major = coreNumber(coreFields.at(0));
    minor = coreNumber(coreFields.at(1));
    patch = coreNumber(coreFields.at(2));

    for (const QByteArray &piece : splitFields(preReleasePart)) {
        if (piece.isEmpty())
            throw error();
        PreReleaseIdentifier identifier;
        switch (convertLeadingNumber(piece, &identifier.number)) {
        case NumberConversion::Accepted:
            identifier.numeric = true;
            break;
        case NumberConversion::NotANumber:
            identifier.label = piece;
            break;
        case NumberConversion::OutOfRange:
            throw error();
        }
        preRelease.append(identifier);
    }
}

QString SemanticVersion::text() const
{
    QByteArray bytes = QByteArray::number(major) + '.' + QByteArray::number(minor) + '.'
                       + QByteArray::number(patch);
    for (int i = 0; i < preRelease.size(); ++i) {
        const PreReleaseIdentifier &identifier = preRelease.at(i);
        bytes += i == 0 ? '-' : '.';
        bytes += identifier.numeric ? QByteArray::number(identifier.number) : identifier.label;
    }
    return QString::fromUtf8(bytes);
}

bool operator<(const SemanticVersion &a, const SemanticVersion &b)
{
    if (a.major != b.major)
        return a.major < b.major;
    if (a.minor != b.minor)
        return a.minor < b.minor;
    if (a.patch != b.patch)
        return a.patch < b.patch;
    if (a.preRelease.isEmpty())
        return false;
    if (b.preRelease.isEmpty())
        return true;

    const int shared = std::min(a.preRelease.size(), b.preRelease.size());
    for (int i = 0; i < shared; ++i) {
        const SemanticVersion::PreReleaseIdentifier &x = a.preRelease.at(i);
        const SemanticVersion::PreReleaseIdentifier &y = b.preRelease.at(i);
        if (x.numeric != y.numeric)
            return x.numeric;
        if (x.numeric) {
            if (x.number != y.number)
                return x.number < y.number;
        } else if (x.label != y.label) {
            return labelLess(x.label, y.label);
        }
    }
    return a.preRelease.size() < b.preRelease.size();
}

} // namespace OrviPlus
