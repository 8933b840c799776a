/*
 * The image builder: firmware and content images of any version and size, tagged so that an
 * emulated device can tell which component and version it received. Used by the device model,
 * by orvi-make-image and by tests that need files to send.
 */
#ifndef ORVI_IMAGE_H
#define ORVI_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace OrviSim {

/* The four installable components; the values match the product's file types. */
enum class Component { Mcu = 0, Dsp = 1, Styles = 2, Ensemble = 3 };

/* Display name of a component ("mcu", "dsp", "styles", "ensemble"). */
const char* componentName(Component component);

/* ---------------------------------------------------------------------------------------- */
/* Image builder: firmware and content images of any version and size.                      */
/* ---------------------------------------------------------------------------------------- */

/*
 * Every image made by the builder starts with this 16-byte tag, so the emulated device can
 * tell which component and version it has received and how long the image really is:
 *   bytes 0-3   "OVIM"
 *   byte  4     component (Component value)
 *   bytes 5-7   0
 *   bytes 8-11  version, little-endian (MCU/DSP: the version word, e.g. 0x0312)
 *   bytes 12-15 image length in bytes, tag included, little-endian
 * The bytes after the tag are a deterministic pattern of the component and version.
 */
constexpr std::size_t kImageTagSize = 16;

struct ImageTag {
    Component component = Component::Mcu;
    uint32_t version = 0;
    uint32_t length = 0; /* whole image, tag included */
};

/* Builds the bytes of an image; sizes below kImageTagSize give a truncated tag (no valid tag). */
std::vector<uint8_t> buildImage(Component component, uint32_t version, std::size_t size);

/* Turns bytes into DSP firmware text: one "0x%02x" line per byte, each ended by "\n". */
std::string dspTextFromBytes(const std::vector<uint8_t>& bytes);

/* FNV-1a (64 bits) of the bytes: tells two images apart in a line of a log. */
uint64_t fingerprint(const std::vector<uint8_t>& bytes);

/*
 * Decodes DSP firmware text the way the device would receive it (one "0x.." byte per line,
 * CR LF or LF line ends; a line of more than 8 characters is read in pieces of 8, as the
 * product reads it). Returns false on the first piece the product would refuse.
 */
bool bytesFromDspText(const std::string& text, std::vector<uint8_t>* bytes);

/* Reads the builder's tag at the start of data, if there is a valid one. */
std::optional<ImageTag> readImageTag(const uint8_t* data, std::size_t size);

/*
 * Writes an image file: binary for MCU, styles and ensemble; DSP as "0x.." text whose
 * encoded bytes are `size` bytes long. Returns false when the file cannot be written.
 */
bool writeImageFile(const std::string& path, Component component, uint32_t version,
                    std::size_t size);

} // namespace OrviSim

#endif
