#include "orvi_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace OrviSim {

namespace {

const char kImageMagic[4] = {'O', 'V', 'I', 'M'};

void putLe32(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = uint8_t(value >> (8 * i));
}

uint32_t le32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16)
        | (uint32_t(bytes[3]) << 24);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

uint64_t fingerprint(const std::vector<uint8_t>& bytes)
{
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (uint8_t byte : bytes)
        hash = (hash ^ byte) * 0x100000001b3ULL;
    return hash;
}

const char* componentName(Component component)
{
    switch (component) {
    case Component::Mcu:
        return "mcu";
    case Component::Dsp:
        return "dsp";
    case Component::Styles:
        return "styles";
    case Component::Ensemble:
        return "ensemble";
    }
    return "unknown";
}

std::vector<uint8_t> buildImage(Component component, uint32_t version, std::size_t size)
{
    std::vector<uint8_t> image(std::max(size, kImageTagSize), 0);
    std::memcpy(image.data(), kImageMagic, 4);
    image[4] = uint8_t(component);
    putLe32(image.data() + 8, version);
    putLe32(image.data() + 12, uint32_t(size));
    /* A pattern that differs per component and version, so mixed-up images show. */
    uint32_t pattern = 0x9E3779B9u ^ (uint32_t(component) << 24) ^ version;
    for (std::size_t i = kImageTagSize; i < image.size(); ++i) {
        pattern ^= pattern << 13;
        pattern ^= pattern >> 17;
        pattern ^= pattern << 5;
        image[i] = uint8_t(pattern >> 11);
    }
    image.resize(size);
    return image;
}

std::string dspTextFromBytes(const std::vector<uint8_t>& bytes)
{
    std::string text;
    text.reserve(bytes.size() * 5);
    char line[8];
    for (uint8_t byte : bytes) {
        std::snprintf(line, sizeof line, "0x%02x\n", byte);
        text += line;
    }
    return text;
}

bool bytesFromDspText(const std::string& text, std::vector<uint8_t>* bytes)
{
    bytes->clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        /* The sender reads at most 8 characters at a time: the rest of a longer line is
         * read as a line of its own. */
        std::size_t lineLength = std::min<std::size_t>((end == std::string::npos ? text.size() : end + 1) - start, 8);
        std::string line = text.substr(start, lineLength);
        if (line.size() < 3 || line[0] != '0' || line[1] != 'x' || hexDigit(line[2]) < 0)
            return false;
        unsigned value = 0;
        for (std::size_t i = 2; i < line.size() && hexDigit(line[i]) >= 0; ++i)
            value = value * 16 + unsigned(hexDigit(line[i]));
        if (value >= 256)
            return false;
        bytes->push_back(uint8_t(value));
        start += lineLength;
    }
    return true;
}

std::optional<ImageTag> readImageTag(const uint8_t* data, std::size_t size)
{
    if (size < kImageTagSize || std::memcmp(data, kImageMagic, 4) != 0 || data[4] > 3
        || data[5] != 0 || data[6] != 0 || data[7] != 0)
        return std::nullopt;
    ImageTag tag;
    tag.component = Component(data[4]);
    tag.version = le32(data + 8);
    tag.length = le32(data + 12);
    if (tag.length < kImageTagSize)
        return std::nullopt;
    return tag;
}

bool writeImageFile(const std::string& path, Component component, uint32_t version,
                    std::size_t size)
{
    std::vector<uint8_t> image = buildImage(component, version, size);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool written;
    if (component == Component::Dsp) {
        std::string text = dspTextFromBytes(image);
        written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    } else {
        written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    }
    return std::fclose(file) == 0 && written;
}

} // namespace OrviSim
