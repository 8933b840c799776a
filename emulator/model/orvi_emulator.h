/*
 * A model of the device side of the Orvi and Orvi+ protocol, independent of how reports reach
 * it. It answers the open request and the ready query, decodes and logs every report it is
 * given, checks framing and sequence numbers (recording every violation rather than hiding
 * it), reassembles what each transfer delivered, decides whether the device would install it,
 * and can inject faults. The simulated HID bus (hid_sim.h) feeds it reports; tests may also
 * feed it directly.
 *
 * A component is installed only when its transfer is complete and correct: firmware at an
 * end packet whose checksum and sequence number match; content at the terminating packet
 * after whole sectors or, on a device that gets no terminating packet (an Orvi, or an Orvi+
 * whose DSP version is below 0x0100), once the last sector of an image made by the image
 * builder below has arrived, since only the image's tag tells such a device where it ends.
 *
 * Every public member function takes the emulator's own lock, so an emulator may be
 * configured and inspected from one thread while another drives it through the bus.
 */
#ifndef ORVI_EMULATOR_H
#define ORVI_EMULATOR_H

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orvi_image.h"

namespace OrviSim {

/* ---------------------------------------------------------------------------------------- */
/* The emulated device.                                                                      */
/* ---------------------------------------------------------------------------------------- */

/*
 * The version words the device reports in its header. They are sent as they are: an Orvi
 * host ORs 0x0300 into both firmware words itself. On an Orvi+ whose mcuWord is at most
 * 0x0064 the device packs dspWord into byte 18 (stage 0-3, major 0-7, minor 0-7) and sends
 * byte19WhenPacked in byte 19, unless rawDspBytes is set.
 */
struct HeaderWords {
    uint16_t mcuWord = 0x0312;
    uint16_t dspWord = 0x0312;
    uint16_t stylesVersion = 1;
    uint32_t ensembleVersion = 1;
    uint16_t auxWord = 0;
    uint8_t byte19WhenPacked = 0;
    /* When set, reply bytes 18-19 carry exactly this value (little-endian), packed or not. */
    std::optional<uint16_t> rawDspBytes;
};

/* Packs a DSP version word into the Orvi+ one-byte form (bits that do not fit are lost). */
uint8_t packDspVersionByte(uint16_t dspVersion);

enum class Readiness {
    Immediate,    /* every ready query answers ready */
    AfterQueries, /* the first N queries answer not ready, then ready */
    Never         /* every query answers not ready */
};

/* What goes wrong with the replies of one kind (header replies or ready replies). */
enum class ReplyFault {
    None,
    NoReply,      /* no reply is queued: the host times out */
    ReadError,    /* the host's read fails (hid_read_timeout returns -1) */
    BadMarker,    /* header reply begins 0xDC 0x03 */
    BadReplyCode, /* header reply code 0x08 0x00 */
    BadCount,     /* header reply with a non-zero count (faultCount) in bytes 5-6 */
    BadReadyCode, /* ready reply with 0x14 in byte 2 */
    BadReadyEcho, /* ready reply with 0x0C in byte 8 */
    ShortReply    /* only the first 10 bytes arrive: a ready reply ends before its flag */
};

struct ReplyFaultSetting {
    ReplyFault fault = ReplyFault::None;
    int times = -1;             /* how many replies it spoils; -1: all from now on */
    uint16_t faultCount = 258;  /* the count sent by BadCount */
};

/*
 * What the device does after it installed a component: it goes away for goneMs, then comes
 * back at newPath (empty: the same path) reporting the versions of the images it installed
 * (read from their builder tags) or, when headerAfterReboot is set, exactly those words.
 * The bus carries out the reboot; a standalone emulator only marks it as pending.
 */
struct RebootBehaviour {
    bool enabled = false;
    int goneMs = 0;
    std::string newPath;
    std::optional<HeaderWords> headerAfterReboot;
};

/* One report as the device received it. */
struct Frame {
    int reportNumber = 0;      /* 1-based count of reports written to this device */
    bool accepted = true;      /* false when the write was failed by an injected fault */
    std::array<uint8_t, 65> bytes{}; /* as written, report ID first, zero filled if shorter */
    std::size_t length = 0;    /* the length handed to the write */
    uint16_t command = 0;
    uint16_t lengthField = 0;
    uint16_t sequence = 0;
};

/* A broken rule of the protocol, seen in the report with the given number. */
struct Violation {
    int reportNumber = 0;
    std::string what;
};

/* What one transfer delivered, from its first data packet to its end. */
struct Transfer {
    Component component = Component::Mcu;
    int firstReport = 0;
    int lastReport = 0;
    int dataPackets = 0;
    /* The data bytes in the order they arrived, as far as the length fields reach: for
     * firmware the whole payload of every data packet (zero fill of the last one included);
     * for content every sector's 65536 bytes (the zero padding of a short last sector
     * included) and, for a sector cut short, what arrived of it. */
    std::vector<uint8_t> received;
    int sectorsComplete = 0;      /* content: sectors of which all 1171 packets arrived */
    /* Firmware: the end packet arrived. Content: the terminating packet arrived or, on a
     * device that gets none, the sector holding the last byte of a tagged image. */
    bool ended = false;
    bool terminated = false;      /* content: terminating packet arrived */
    bool sequenceOk = true;       /* no sequence or framing violation inside the transfer */
    bool fitsFlash = true;        /* content: no more sectors than the model's flash holds */
    bool checksumOk = false;      /* firmware: the end packet's checksum matches the data */
    uint8_t endPacketChecksum = 0;
    uint8_t dataChecksum = 0;     /* XOR of every received firmware data byte */
    bool installed = false;       /* the device took it: complete, correct, ended */
    std::optional<ImageTag> tag;  /* the builder tag at the start of the data, if any */

    /* The image as installed: received, cut to the tag's length when there is a tag. */
    std::vector<uint8_t> image() const;

    /* True when the device holds exactly these bytes: received is the file followed only
     * by the zero fill the protocol adds for a file of this size (firmware: up to the next
     * packet after the last data byte; content: up to the end of its last sector). */
    bool holdsExactly(const std::vector<uint8_t>& file) const;
};

/* A reply waiting for the host; readError means the host's read fails instead. */
struct Reply {
    bool readError = false;
    std::array<uint8_t, 64> bytes{};
    std::size_t length = 64; /* bytes the host's read delivers */
    std::chrono::steady_clock::time_point due{};
};

/* What became of one write, for the transport. */
enum class WriteOutcome {
    Accepted, /* the report was taken; any replies are queued */
    Failed,   /* the write fails (hid_write returns -1); the device stays */
    Unplugged /* the write fails and the device is gone from the bus */
};

struct EmulatorState;

/* One write as the transport carries it out. */
struct Delivery {
    WriteOutcome outcome = WriteOutcome::Accepted;
    int reportNumber = 0;       /* this report's place in the device's count */
    std::vector<Reply> replies; /* produced by this report */
    bool rebootPending = false; /* an install made the device restart */
    int pacingUs = 0;           /* how long the write takes */
    std::optional<Transfer> installed;  /* the transfer this report completed, if the device took it */
    std::vector<Violation> violations;  /* rules this report broke */
};

/* One line on a report as the host wrote it: command, length and sequence fields. */
std::string describeReport(const unsigned char* data, std::size_t length);

class OrviEmulator {
public:
    /* model: 0 Orvi, 1 Orvi+. */
    explicit OrviEmulator(int model = 1);
    ~OrviEmulator();
    OrviEmulator(const OrviEmulator&) = delete;
    OrviEmulator& operator=(const OrviEmulator&) = delete;

    int model() const;

    /* ---- configuration ---- */
    void setHeaderWords(const HeaderWords& words);
    HeaderWords headerWords() const;
    void setReadiness(Readiness readiness, int notReadyQueries = 0);
    void setReadyFlag(uint8_t flag);                 /* value sent for "ready" (default 1) */
    void setHeaderReplyFault(const ReplyFaultSetting& setting);
    void setReadyReplyFault(const ReplyFaultSetting& setting);
    void setReplyDelayMs(int ms);                    /* replies become readable after ms */
    /* The next replies carry exactly these bytes instead of the device's own, in order; a
     * fault that drops the reply or fails the read still does. Feeds the host any reply. */
    void setScriptedReplies(const std::vector<std::array<uint8_t, 64>>& replies);
    void failWriteAtReport(int reportNumber, int count = 1); /* -1 count: every write from N */
    void unplugAtReport(int reportNumber);           /* write N fails and the device vanishes */
    /* hid_open_path fails while set, leaving error in errno as the failed open(2) of a hidraw
     * node would: ENOENT for a node that is not there, EACCES for one the user may not open. */
    void setOpenRefused(bool refused, int error = ENOENT);
    void setReportPacingUs(int microseconds);        /* each write takes this long; 0 = off */
    void setRebootBehaviour(const RebootBehaviour& behaviour);
    RebootBehaviour rebootBehaviour() const;
    void setFrameLogEnabled(bool enabled);           /* on by default; counts run on */

    /* ---- transport side (the bus, or a test feeding reports directly) ---- */
    WriteOutcome receiveReport(const unsigned char* data, std::size_t length);
    std::vector<Reply> takeReplies();                /* replies produced since the last call */
    /* receiveReport, takeReplies, rebootPending and reportPacingUs in one step. */
    Delivery deliverReport(const unsigned char* data, std::size_t length);
    int openError() const;                           /* errno of a refused open; 0: it opens */
    int reportPacingUs() const;
    /* True once a component was installed with rebooting enabled; cleared by takeReboot. */
    bool rebootPending() const;
    /* Clears the pending reboot and applies the post-reboot header; returns the behaviour. */
    RebootBehaviour takeReboot();

    /* ---- inspection ---- */
    int reportCount() const;                         /* every write, failed ones included */
    int readyQueryCount() const;
    int openRequestCount() const;
    std::vector<Frame> frames() const;
    std::vector<Violation> violations() const;
    std::vector<Transfer> transfers() const;         /* finished and running, in order */
    std::optional<Transfer> lastTransfer(Component component) const;
    /* The image of the last installed transfer of this component. */
    std::optional<std::vector<uint8_t>> installedImage(Component component) const;
    int installCount() const;
    void clearLogs();                                /* frames, violations and transfers */

private:
    mutable std::mutex m_mutex;
    const int m_model;
    std::unique_ptr<EmulatorState> m_state;
};

} // namespace OrviSim

#endif
