/* Shared helpers of the protocol and emulator tests. */
#ifndef PROTOCOL_TEST_SUPPORT_H
#define PROTOCOL_TEST_SUPPORT_H

#include "device/orvi_device.h"
#include "hid_sim.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

/* Catches what the protocol prints by pointing file descriptor 1 at a file for a while. */
class StdoutCapture {
public:
    StdoutCapture() : m_file(m_dir.filePath("stdout.txt").toStdString())
    {
        std::fflush(stdout);
        m_saved = dup(1);
        std::FILE* target = std::fopen(m_file.c_str(), "w");
        if (target != nullptr) {
            dup2(fileno(target), 1);
            std::fclose(target);
        }
    }
    ~StdoutCapture() { finish(); }

    /* Restores standard output and returns everything printed meanwhile. */
    QString finish()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            dup2(m_saved, 1);
            close(m_saved);
            m_saved = -1;
            QFile file(QString::fromStdString(m_file));
            if (file.open(QIODevice::ReadOnly))
                m_text = QString::fromLocal8Bit(file.readAll());
        }
        return m_text;
    }

private:
    QTemporaryDir m_dir;
    std::string m_file;
    int m_saved = -1;
    QString m_text;
};

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, 65>;

/* Bytes that differ from packet to packet and never form a builder tag. */
inline Bytes patternBytes(std::size_t size, unsigned salt = 0)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t((i * 131 + salt * 17 + (i >> 8) * 7 + 1) & 0xFF);
    return bytes;
}

inline bool writeBytes(const QString& path, const Bytes& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly)
        && file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}

inline bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

inline uint8_t xorOf(const Bytes& bytes)
{
    uint8_t checksum = 0;
    for (uint8_t byte : bytes)
        checksum ^= byte;
    return checksum;
}

/* A request as the device must receive it: report ID 0, markers, little-endian fields. */
inline Report request(uint16_t command, uint16_t length, uint16_t sequence, const Bytes& payload = {})
{
    Report report{};
    report[1] = 0xDB;
    report[2] = 0x03;
    report[3] = uint8_t(command);
    report[4] = uint8_t(command >> 8);
    report[5] = uint8_t(length);
    report[6] = uint8_t(length >> 8);
    report[7] = uint8_t(sequence);
    report[8] = uint8_t(sequence >> 8);
    for (std::size_t i = 0; i < payload.size() && i < 56; ++i)
        report[9 + i] = payload[i];
    return report;
}

inline QByteArray hexOf(const Report& report)
{
    return QByteArray(reinterpret_cast<const char*>(report.data()), int(report.size())).toHex(' ');
}

inline std::string localPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

/* Plugs an emulated device and opens it; the handle is null if the open failed. */
struct OpenedDevice {
    std::shared_ptr<OrviSim::OrviEmulator> emulator;
    OrviDevice* handle = nullptr;
    unsigned int error = 0;
};

inline OpenedDevice plugAndOpen(int model, const OrviSim::HeaderWords& words = OrviSim::HeaderWords(),
                                const std::string& path = "dev-1")
{
    OpenedDevice opened;
    opened.emulator = HidSim::plug(model == 0 ? HidSim::kProductOrvi : HidSim::kProductOrviPlus, path);
    opened.emulator->setHeaderWords(words);
    opened.handle = orviOpen(path.c_str(), model, 500, &opened.error);
    return opened;
}

#endif
