/* Semantic versions: any text parses or throws the version error; the order of the texts
 * that parse is a strict weak order. */
#include "fuzz_targets.h"

#include "update/semantic_version.h"

#include <QString>

#include <algorithm>
#include <optional>
#include <vector>

using OrviPlus::SemanticVersion;

namespace {

std::optional<SemanticVersion> parse(const uint8_t* begin, const uint8_t* end)
{
    try {
        return SemanticVersion(QString::fromUtf8(reinterpret_cast<const char*>(begin), int(end - begin)));
    } catch (const SemanticVersion::error&) {
        return std::nullopt;
    }
}

bool equivalent(const SemanticVersion& a, const SemanticVersion& b)
{
    return !(a < b) && !(b < a);
}

} // namespace

/* Up to three texts separated by line feeds. */
int fuzzVersion(const uint8_t* data, size_t size)
{
    std::vector<SemanticVersion> versions;
    const uint8_t* end = data + size;
    const uint8_t* start = data;
    for (int piece = 0; piece < 3 && start <= end; ++piece) {
        const uint8_t* stop = std::find(start, end, '\n');
        if (auto version = parse(start, stop))
            versions.push_back(*version);
        start = stop + 1;
    }

    /* With b = a, asymmetry is irreflexivity too. */
    for (const SemanticVersion& a : versions) {
        for (const SemanticVersion& b : versions) {
            FUZZ_CHECK(!(a < b && b < a));
            for (const SemanticVersion& c : versions) {
                FUZZ_CHECK(!(a < b && b < c) || a < c);
                FUZZ_CHECK(!(equivalent(a, b) && equivalent(b, c)) || equivalent(a, c));
            }
        }
    }
    return 0;
}
