/* Shared helpers of the device tests: files and expected frames. */
#ifndef DEVICE_TEST_SUPPORT_H
#define DEVICE_TEST_SUPPORT_H

#include "device/orvi_device.h"
#include "hid_sim.h"
#include "message_log.h"
#include "stdout_capture.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

using SendFunction = int (*)(OrviDevice*, const char*, const OrviProgress*);
/* The send function of each component, in the order of OrviSim::Component. */
inline const SendFunction kSend[] = {orviSendMicroFW, orviSendDspFW, orviSendStyles, orviSendEnsemble};

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, 65>;

/* Bytes that differ from packet to packet and never form an image builder tag. */
inline Bytes patternBytes(std::size_t size, unsigned salt = 0)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t((i * 131 + salt * 17 + (i >> 8) * 7 + 1) & 0xFF);
    return bytes;
}

inline QByteArray toByteArray(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline std::string localPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

inline uint8_t xorOf(const Bytes& bytes)
{
    return std::accumulate(bytes.begin(), bytes.end(), uint8_t(0), std::bit_xor<uint8_t>());
}

/* A request as the device must receive it: report ID 0, markers, little-endian fields. */
inline Report request(uint16_t command, uint16_t length, uint16_t sequence, const Bytes& payload = {})
{
    Report report{0, 0xDB, 0x03, uint8_t(command), uint8_t(command >> 8), uint8_t(length), uint8_t(length >> 8),
                  uint8_t(sequence), uint8_t(sequence >> 8)};
    std::copy_n(payload.begin(), std::min<std::size_t>(payload.size(), 56), report.begin() + 9);
    return report;
}

#endif
