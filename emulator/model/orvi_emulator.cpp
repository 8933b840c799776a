#include "orvi_emulator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

namespace OrviSim {

namespace {

constexpr uint8_t kMarker0 = 0xDB;
constexpr uint8_t kMarker1 = 0x03;
constexpr std::size_t kReportLength = 65; /* report ID and 64 bytes */
constexpr std::size_t kPayloadOffset = 9;
constexpr std::size_t kPayloadSize = 56;
constexpr std::size_t kMcuChunk = 56;
constexpr std::size_t kDspChunk = 54;
constexpr std::size_t kSectorSize = 65536;
constexpr int kPacketsPerSector = 1171;
constexpr uint16_t kLastSectorChunk = 16;
constexpr uint8_t kUnexaminedFill = 0xFF;

enum Command : uint16_t {
    DspData = 0x0002,
    DspEnd = 0x0003,
    McuData = 0x0004,
    McuEnd = 0x0005,
    EnsembleData = 0x0007,
    Open = 0x000A,
    ReadyQuery = 0x0012,
    StylesData = 0x0014,
    Terminate = 0x0015
};

void putLe16(uint8_t* bytes, uint16_t value)
{
    bytes[0] = uint8_t(value & 0xFF);
    bytes[1] = uint8_t(value >> 8);
}

uint16_t le16(const uint8_t* bytes)
{
    return uint16_t(bytes[0] | (bytes[1] << 8));
}

bool allZero(const uint8_t* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

std::size_t firmwareChunk(Component component)
{
    return component == Component::Mcu ? kMcuChunk : kDspChunk;
}

bool isFirmware(Component component)
{
    return component == Component::Mcu || component == Component::Dsp;
}

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

} // namespace

uint8_t packDspVersionByte(uint16_t dspVersion)
{
    unsigned stage = dspVersion >> 8;
    return uint8_t((dspVersion & 0x77) | ((stage & 1) << 3) | ((stage & 2) << 6));
}

std::vector<uint8_t> Transfer::image() const
{
    if (tag && tag->length <= received.size())
        return std::vector<uint8_t>(received.begin(), received.begin() + tag->length);
    return received;
}

bool Transfer::holdsExactly(const std::vector<uint8_t>& file) const
{
    std::size_t expectedSize;
    if (isFirmware(component)) {
        std::size_t chunk = firmwareChunk(component);
        expectedSize = (file.size() / chunk + 1) * chunk;
    } else {
        std::size_t sectors = (file.size() + kSectorSize - 1) / kSectorSize;
        if (std::size_t(sectorsComplete) != sectors)
            return false;
        expectedSize = sectors * kSectorSize;
    }
    if (received.size() != expectedSize)
        return false;
    return std::equal(file.begin(), file.end(), received.begin())
        && allZero(received.data() + file.size(), received.size() - file.size());
}

struct EmulatorState {
    HeaderWords words;
    HeaderWords wordsAfterInstall;
    Readiness readiness = Readiness::Immediate;
    int notReadyQueries = 0;
    uint8_t readyFlag = 1;
    ReplyFaultSetting headerFault;
    ReplyFaultSetting readyFault;
    int replyDelayMs = 0;
    int failWriteFrom = 0;
    int failWriteCount = 0;
    int unplugAt = 0;
    int openError = 0;
    int pacingUs = 0;
    RebootBehaviour reboot;
    bool rebootPending = false;
    bool frameLogEnabled = true;

    int reports = 0;
    int readyQueries = 0;
    int readyQueriesSinceBoot = 0;
    int openRequests = 0;
    int installs = 0;
    std::vector<Frame> frames;
    std::vector<Violation> violations;
    std::vector<Transfer> transfers;
    bool transferRunning = false;
    int packetInSector = 0;
    bool sequenceKnown = false;
    uint16_t lastCounted = 0;
    std::optional<std::vector<uint8_t>> installed[4];
    std::vector<Reply> replies;
    std::deque<std::array<uint8_t, 64>> scriptedReplies;
};

namespace {

/* The DSP version an Orvi+ host decodes from the header this device sends. */
uint16_t hostDspVersion(int model, const HeaderWords& words)
{
    if (model == 0)
        return uint16_t(words.dspWord | 0x0300);
    if (words.mcuWord <= 0x0064) {
        uint8_t packed = words.rawDspBytes ? uint8_t(*words.rawDspBytes & 0xFF)
                                           : packDspVersionByte(words.dspWord);
        unsigned stage = ((packed >> 3) & 1) | ((packed >> 6) & 2);
        return uint16_t((packed & 0x77) | (stage << 8));
    }
    return words.rawDspBytes ? *words.rawDspBytes : words.dspWord;
}

int sectorLimit(int model, Component component)
{
    if (component == Component::Styles)
        return model == 1 ? 32 : 0;
    return model == 1 ? 208 : 80;
}

/* Takes one use of a reply fault; None when it is used up. */
ReplyFault useFault(ReplyFaultSetting& setting)
{
    if (setting.fault == ReplyFault::None || setting.times == 0)
        return ReplyFault::None;
    if (setting.times > 0)
        --setting.times;
    return setting.fault;
}

class ReportHandler {
public:
    ReportHandler(EmulatorState& state, int model, const Frame& frame)
        : m_state(state), m_model(model), m_frame(frame), m_payload(frame.bytes.data() + kPayloadOffset)
    {
    }

    void handle();

private:
    void violation(const std::string& what)
    {
        m_state.violations.push_back({m_frame.reportNumber, what});
        if (m_state.transferRunning)
            m_state.transfers.back().sequenceOk = false;
    }
    void expectLength(uint16_t length, const char* request);
    void expectZeroPayloadFrom(std::size_t offset, const char* request);
    void checkCountedSequence();
    void endTransfer();
    Transfer& transferFor(Component component);
    void firmwareData(Component component);
    void firmwareEnd(Component component);
    void contentData(Component component);
    void terminate();
    void maybeInstallContentWithoutTerminator(Transfer& transfer);
    void install(Transfer& transfer);
    void answerOpen();
    void answerReadyQuery();
    void queueReply(const std::array<uint8_t, 64>& bytes, ReplyFault fault);

    EmulatorState& m_state;
    int m_model;
    const Frame& m_frame;
    const uint8_t* m_payload;
};

void ReportHandler::handle()
{
    if (m_frame.length != kReportLength)
        violation("report of " + std::to_string(m_frame.length) + " bytes, not 65");
    if (m_frame.bytes[0] != 0)
        violation("report ID " + std::to_string(m_frame.bytes[0]) + ", not 0");
    if (m_frame.bytes[1] != kMarker0 || m_frame.bytes[2] != kMarker1) {
        violation("bad marker");
        return;
    }
    switch (m_frame.command) {
    case Open:
        endTransfer();
        answerOpen();
        break;
    case ReadyQuery:
        endTransfer();
        answerReadyQuery();
        break;
    case McuData:
        firmwareData(Component::Mcu);
        break;
    case DspData:
        firmwareData(Component::Dsp);
        break;
    case McuEnd:
        firmwareEnd(Component::Mcu);
        break;
    case DspEnd:
        firmwareEnd(Component::Dsp);
        break;
    case StylesData:
        contentData(Component::Styles);
        break;
    case EnsembleData:
        contentData(Component::Ensemble);
        break;
    case Terminate:
        terminate();
        break;
    default:
        violation("unknown command " + hex(m_frame.command));
        break;
    }
}

void ReportHandler::expectLength(uint16_t length, const char* request)
{
    if (m_frame.lengthField != length) {
        violation(std::string(request) + " with length " + std::to_string(m_frame.lengthField)
                  + ", not " + std::to_string(length));
    }
}

void ReportHandler::expectZeroPayloadFrom(std::size_t offset, const char* request)
{
    if (offset < kPayloadSize && !allZero(m_payload + offset, kPayloadSize - offset))
        violation(std::string(request) + " with data past its end");
}

void ReportHandler::checkCountedSequence()
{
    if (!m_state.sequenceKnown) {
        violation("counted request " + std::to_string(m_frame.sequence) + " before any open request");
    } else {
        uint16_t expected = uint16_t(m_state.lastCounted + 1);
        if (m_frame.sequence != expected) {
            violation("sequence " + std::to_string(m_frame.sequence) + ", expected "
                      + std::to_string(expected));
        }
    }
    m_state.sequenceKnown = true;
    m_state.lastCounted = m_frame.sequence;
}

void ReportHandler::endTransfer()
{
    if (!m_state.transferRunning)
        return;
    m_state.transferRunning = false;
    m_state.packetInSector = 0;
}

Transfer& ReportHandler::transferFor(Component component)
{
    if (m_state.transferRunning) {
        Transfer& running = m_state.transfers.back();
        if (running.component == component && !running.ended)
            return running;
        endTransfer();
    }
    Transfer transfer;
    transfer.component = component;
    transfer.firstReport = m_frame.reportNumber;
    m_state.transfers.push_back(std::move(transfer));
    m_state.transferRunning = true;
    m_state.packetInSector = 0;
    return m_state.transfers.back();
}

void ReportHandler::firmwareData(Component component)
{
    Transfer& transfer = transferFor(component);
    std::size_t chunk = firmwareChunk(component);
    const char* request = component == Component::Mcu ? "MCU data" : "DSP data";
    expectLength(uint16_t(chunk), request);
    expectZeroPayloadFrom(chunk, request);
    checkCountedSequence();
    transfer.received.insert(transfer.received.end(), m_payload, m_payload + chunk);
    for (std::size_t i = 0; i < chunk; ++i)
        transfer.dataChecksum ^= m_payload[i];
    ++transfer.dataPackets;
    transfer.lastReport = m_frame.reportNumber;
}

void ReportHandler::firmwareEnd(Component component)
{
    const char* request = component == Component::Mcu ? "MCU end" : "DSP end";
    if (!m_state.transferRunning || m_state.transfers.back().component != component) {
        violation(std::string(request) + " packet without a transfer");
        endTransfer();
        return;
    }
    Transfer& transfer = m_state.transfers.back();
    expectLength(0, request);
    expectZeroPayloadFrom(1, request);
    if (m_frame.sequence != m_state.lastCounted) {
        violation(std::string(request) + " packet with sequence " + std::to_string(m_frame.sequence)
                  + ", last data packet " + std::to_string(m_state.lastCounted));
    }
    transfer.lastReport = m_frame.reportNumber;
    transfer.ended = true;
    transfer.endPacketChecksum = m_payload[0];
    transfer.checksumOk = transfer.endPacketChecksum == transfer.dataChecksum;
    transfer.tag = readImageTag(transfer.received.data(), transfer.received.size());
    endTransfer();
    if (transfer.checksumOk && transfer.sequenceOk
        && (!transfer.tag || transfer.tag->length <= transfer.received.size()))
        install(transfer);
}

void ReportHandler::contentData(Component component)
{
    Transfer& transfer = transferFor(component);
    const char* request = component == Component::Styles ? "styles data" : "ensemble data";
    if (component == Component::Styles && m_model != 1 && transfer.dataPackets == 0)
        violation("styles data sent to an Orvi");
    int packet = m_state.packetInSector;
    uint16_t chunk = packet == kPacketsPerSector - 1 ? kLastSectorChunk : uint16_t(kPayloadSize);
    expectLength(chunk, request);
    expectZeroPayloadFrom(chunk, request);
    checkCountedSequence();
    transfer.received.insert(transfer.received.end(), m_payload, m_payload + chunk);
    ++transfer.dataPackets;
    transfer.lastReport = m_frame.reportNumber;
    if (packet == 0 && transfer.sectorsComplete == sectorLimit(m_model, component)) {
        violation(std::string(request) + " beyond the " + std::to_string(transfer.sectorsComplete)
                  + " sectors the flash holds");
        transfer.fitsFlash = false;
    }
    m_state.packetInSector = (packet + 1) % kPacketsPerSector;
    if (m_state.packetInSector == 0) {
        ++transfer.sectorsComplete;
        if (transfer.sectorsComplete == 1)
            transfer.tag = readImageTag(transfer.received.data(), transfer.received.size());
        maybeInstallContentWithoutTerminator(transfer);
    }
}

/*
 * A device that gets no terminating packet can only tell the end of content from the
 * image's own tag: it takes the image once the sector holding its last byte is complete.
 */
void ReportHandler::maybeInstallContentWithoutTerminator(Transfer& transfer)
{
    bool terminatorComes = hostDspVersion(m_model, m_state.words) >= 0x0100
        && (m_model == 1 || transfer.component == Component::Styles);
    if (terminatorComes || !transfer.tag || transfer.tag->length > transfer.received.size())
        return;
    transfer.ended = true;
    endTransfer();
    if (transfer.sequenceOk && transfer.fitsFlash)
        install(transfer);
}

void ReportHandler::terminate()
{
    expectLength(0, "terminating");
    expectZeroPayloadFrom(0, "terminating");
    if (m_frame.sequence != 0)
        violation("terminating packet with sequence " + std::to_string(m_frame.sequence) + ", not 0");
    if (m_model != 1 || hostDspVersion(m_model, m_state.words) < 0x0100)
        violation("terminating packet sent to a device that takes none");
    if (!m_state.transferRunning || isFirmware(m_state.transfers.back().component))
        return;
    Transfer& transfer = m_state.transfers.back();
    transfer.lastReport = m_frame.reportNumber;
    transfer.terminated = true;
    transfer.ended = true;
    bool wholeSectors = m_state.packetInSector == 0;
    if (!wholeSectors)
        violation("terminating packet inside a sector");
    endTransfer();
    if (wholeSectors && transfer.sequenceOk && transfer.fitsFlash
        && (!transfer.tag || transfer.tag->length <= transfer.received.size()))
        install(transfer);
}

void ReportHandler::install(Transfer& transfer)
{
    transfer.installed = true;
    m_state.installed[int(transfer.component)] = transfer.image();
    ++m_state.installs;
    if (transfer.tag && transfer.tag->component == transfer.component) {
        HeaderWords& words = m_state.wordsAfterInstall;
        switch (transfer.component) {
        case Component::Mcu:
            words.mcuWord = uint16_t(transfer.tag->version);
            break;
        case Component::Dsp:
            words.dspWord = uint16_t(transfer.tag->version);
            words.rawDspBytes.reset();
            break;
        case Component::Styles:
            words.stylesVersion = uint16_t(transfer.tag->version);
            break;
        case Component::Ensemble:
            words.ensembleVersion = transfer.tag->version;
            break;
        }
    }
    if (m_state.reboot.enabled)
        m_state.rebootPending = true;
}

void ReportHandler::queueReply(const std::array<uint8_t, 64>& bytes, ReplyFault fault)
{
    if (fault == ReplyFault::NoReply)
        return;
    Reply reply;
    reply.readError = fault == ReplyFault::ReadError;
    reply.bytes = bytes;
    if (!m_state.scriptedReplies.empty()) {
        reply.bytes = m_state.scriptedReplies.front();
        m_state.scriptedReplies.pop_front();
    }
    if (fault == ReplyFault::ShortReply)
        reply.length = 10;
    reply.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_state.replyDelayMs);
    m_state.replies.push_back(reply);
}

void ReportHandler::answerOpen()
{
    ++m_state.openRequests;
    expectLength(0, "open request");
    expectZeroPayloadFrom(0, "open request");
    if (m_frame.sequence != 0)
        violation("open request with sequence " + std::to_string(m_frame.sequence) + ", not 0");
    m_state.sequenceKnown = true;
    m_state.lastCounted = m_frame.sequence;

    const HeaderWords& words = m_state.words;
    std::array<uint8_t, 64> reply{};
    reply[0] = kMarker0;
    reply[1] = kMarker1;
    reply[2] = 0x09;
    for (int unexamined : {4, 7, 8, 9, 13, 17})
        reply[unexamined] = kUnexaminedFill;
    reply[10] = uint8_t(words.ensembleVersion);
    reply[11] = uint8_t(words.ensembleVersion >> 8);
    reply[12] = uint8_t(words.ensembleVersion >> 16);
    reply[14] = uint8_t(words.ensembleVersion >> 24);
    putLe16(reply.data() + 15, words.stylesVersion);
    if (words.rawDspBytes) {
        putLe16(reply.data() + 18, *words.rawDspBytes);
    } else if (m_model == 1 && words.mcuWord <= 0x0064) {
        reply[18] = packDspVersionByte(words.dspWord);
        reply[19] = words.byte19WhenPacked;
    } else {
        putLe16(reply.data() + 18, words.dspWord);
    }
    putLe16(reply.data() + 20, words.mcuWord);
    putLe16(reply.data() + 22, words.auxWord);

    ReplyFault fault = useFault(m_state.headerFault);
    switch (fault) {
    case ReplyFault::BadMarker:
        reply[0] = 0xDC;
        break;
    case ReplyFault::BadReplyCode:
        reply[2] = 0x08;
        break;
    case ReplyFault::BadCount:
        putLe16(reply.data() + 5, m_state.headerFault.faultCount);
        break;
    default:
        break;
    }
    queueReply(reply, fault);
}

void ReportHandler::answerReadyQuery()
{
    ++m_state.readyQueries;
    ++m_state.readyQueriesSinceBoot;
    expectLength(3, "ready query");
    if (m_frame.sequence != 0)
        violation("ready query with sequence " + std::to_string(m_frame.sequence) + ", not 0");
    if (m_payload[0] != 0x0B)
        violation("ready query with first payload byte " + std::to_string(m_payload[0]));
    expectZeroPayloadFrom(1, "ready query");

    bool ready = m_state.readiness == Readiness::Immediate
        || (m_state.readiness == Readiness::AfterQueries
            && m_state.readyQueriesSinceBoot > m_state.notReadyQueries);
    std::array<uint8_t, 64> reply{};
    reply[0] = kMarker0;
    reply[1] = kMarker1;
    reply[2] = 0x13;
    reply[5] = 3;
    reply[8] = m_payload[0];
    reply[10] = ready ? m_state.readyFlag : 0;

    ReplyFault fault = useFault(m_state.readyFault);
    if (fault == ReplyFault::BadReadyCode)
        reply[2] = 0x14;
    else if (fault == ReplyFault::BadReadyEcho)
        reply[8] = 0x0C;
    queueReply(reply, fault);
}

} // namespace

OrviEmulator::OrviEmulator(int model) : m_model(model), m_state(new EmulatorState) {}

OrviEmulator::~OrviEmulator() = default;

int OrviEmulator::model() const
{
    return m_model;
}

void OrviEmulator::setHeaderWords(const HeaderWords& words)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->words = words;
    m_state->wordsAfterInstall = words;
}

HeaderWords OrviEmulator::headerWords() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->words;
}

void OrviEmulator::setReadiness(Readiness readiness, int notReadyQueries)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->readiness = readiness;
    m_state->notReadyQueries = notReadyQueries;
    m_state->readyQueriesSinceBoot = 0;
}

void OrviEmulator::setReadyFlag(uint8_t flag)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->readyFlag = flag;
}

void OrviEmulator::setHeaderReplyFault(const ReplyFaultSetting& setting)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->headerFault = setting;
}

void OrviEmulator::setReadyReplyFault(const ReplyFaultSetting& setting)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->readyFault = setting;
}

void OrviEmulator::setReplyDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->replyDelayMs = ms;
}

void OrviEmulator::setScriptedReplies(const std::vector<std::array<uint8_t, 64>>& replies)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->scriptedReplies.assign(replies.begin(), replies.end());
}

void OrviEmulator::failWriteAtReport(int reportNumber, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->failWriteFrom = reportNumber;
    m_state->failWriteCount = count;
}

void OrviEmulator::unplugAtReport(int reportNumber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->unplugAt = reportNumber;
}

void OrviEmulator::setOpenRefused(bool refused, int error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->openError = refused ? error : 0;
}

void OrviEmulator::setReportPacingUs(int microseconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->pacingUs = microseconds;
}

void OrviEmulator::setRebootBehaviour(const RebootBehaviour& behaviour)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->reboot = behaviour;
}

RebootBehaviour OrviEmulator::rebootBehaviour() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->reboot;
}

void OrviEmulator::setFrameLogEnabled(bool enabled)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->frameLogEnabled = enabled;
}

namespace {

WriteOutcome receiveLocked(EmulatorState& state, int model, const unsigned char* data, std::size_t length)
{
    Frame frame;
    frame.reportNumber = ++state.reports;
    frame.length = length;
    std::memcpy(frame.bytes.data(), data, std::min(length, frame.bytes.size()));
    frame.command = le16(frame.bytes.data() + 3);
    frame.lengthField = le16(frame.bytes.data() + 5);
    frame.sequence = le16(frame.bytes.data() + 7);

    WriteOutcome outcome = WriteOutcome::Accepted;
    if (frame.reportNumber == state.unplugAt) {
        outcome = WriteOutcome::Unplugged;
    } else if (state.failWriteFrom > 0 && frame.reportNumber >= state.failWriteFrom
               && (state.failWriteCount < 0
                   || frame.reportNumber < state.failWriteFrom + state.failWriteCount)) {
        outcome = WriteOutcome::Failed;
    }
    frame.accepted = outcome == WriteOutcome::Accepted;
    if (frame.accepted)
        ReportHandler(state, model, frame).handle();
    if (state.frameLogEnabled)
        state.frames.push_back(frame);
    return outcome;
}

} // namespace

WriteOutcome OrviEmulator::receiveReport(const unsigned char* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return receiveLocked(*m_state, m_model, data, length);
}

Delivery OrviEmulator::deliverReport(const unsigned char* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Delivery delivery;
    const int installsBefore = m_state->installs;
    const std::size_t violationsBefore = m_state->violations.size();
    delivery.outcome = receiveLocked(*m_state, m_model, data, length);
    delivery.reportNumber = m_state->reports;
    if (m_state->installs != installsBefore) {
        for (auto it = m_state->transfers.rbegin(); it != m_state->transfers.rend() && !delivery.installed; ++it) {
            if (it->installed)
                delivery.installed = *it;
        }
    }
    delivery.violations.assign(m_state->violations.begin() + long(violationsBefore), m_state->violations.end());
    delivery.replies.swap(m_state->replies);
    delivery.rebootPending = m_state->rebootPending;
    delivery.pacingUs = m_state->pacingUs;
    return delivery;
}

std::vector<Reply> OrviEmulator::takeReplies()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Reply> replies;
    replies.swap(m_state->replies);
    return replies;
}

int OrviEmulator::openError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->openError;
}

int OrviEmulator::reportPacingUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->pacingUs;
}

bool OrviEmulator::rebootPending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->rebootPending;
}

RebootBehaviour OrviEmulator::takeReboot()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    EmulatorState& state = *m_state;
    state.rebootPending = false;
    state.words = state.reboot.headerAfterReboot ? *state.reboot.headerAfterReboot
                                                 : state.wordsAfterInstall;
    state.wordsAfterInstall = state.words;
    state.readyQueriesSinceBoot = 0;
    state.sequenceKnown = false;
    state.transferRunning = false;
    state.packetInSector = 0;
    state.replies.clear();
    return state.reboot;
}

int OrviEmulator::reportCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->reports;
}

int OrviEmulator::readyQueryCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->readyQueries;
}

int OrviEmulator::openRequestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->openRequests;
}

std::vector<Frame> OrviEmulator::frames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->frames;
}

std::vector<Violation> OrviEmulator::violations() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->violations;
}

std::vector<Transfer> OrviEmulator::transfers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->transfers;
}

std::optional<Transfer> OrviEmulator::lastTransfer(Component component) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_state->transfers.rbegin(); it != m_state->transfers.rend(); ++it) {
        if (it->component == component)
            return *it;
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> OrviEmulator::installedImage(Component component) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->installed[int(component)];
}

int OrviEmulator::installCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->installs;
}

void OrviEmulator::clearLogs()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state->frames.clear();
    m_state->violations.clear();
    if (m_state->transferRunning) {
        /* Keep the running transfer so that it can still finish. */
        Transfer running = std::move(m_state->transfers.back());
        m_state->transfers.assign(1, std::move(running));
    } else {
        m_state->transfers.clear();
    }
}

std::string describeReport(const unsigned char* data, std::size_t length)
{
    if (length < 9 || data[1] != kMarker0 || data[2] != kMarker1)
        return std::to_string(length) + "-byte report without the protocol's marker";
    const uint16_t command = le16(data + 3);
    const char* name = "unknown command";
    switch (command) {
    case DspData: name = "DSP data"; break;
    case DspEnd: name = "DSP end"; break;
    case McuData: name = "MCU data"; break;
    case McuEnd: name = "MCU end"; break;
    case EnsembleData: name = "ensemble data"; break;
    case Open: name = "open"; break;
    case ReadyQuery: name = "ready query"; break;
    case StylesData: name = "styles data"; break;
    case Terminate: name = "terminating"; break;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%s (0x%04X), length %u, sequence %u", name, unsigned(command),
                  unsigned(le16(data + 5)), unsigned(le16(data + 7)));
    return text;
}

} // namespace OrviSim
