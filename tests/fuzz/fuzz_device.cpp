/*
 * The protocol against an emulated device on the simulated bus.
 * fuzzTransfer: a firmware or content file sent. The result code and the device's view agree:
 * an error and nothing installed nor closed with an end or terminating packet, or success and
 * the device holds exactly what the file encodes.
 * fuzzReplies: any bytes answering the open request and the ready queries give the result code
 * the reply calls for and a header taken from the reply's own bytes.
 */
#include "fuzz_targets.h"

#include "device/device_test_support.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using OrviSim::Component;

namespace {

/* The one device of a run, alone on the bus, not keeping a log of the frames it gets. */
std::shared_ptr<OrviSim::OrviEmulator> plugDevice(int model)
{
    HidSim::reset();
    auto emulator = HidSim::plug(model == ORVI_MODEL_PLUS ? HidSim::kProductOrviPlus : HidSim::kProductOrvi,
                                 "fuzz-1");
    emulator->setFrameLogEnabled(false);
    return emulator;
}

constexpr long kSector = 65536;

/* Holds the file to send: one for the whole run, in memory so that no input waits on a disk,
 * reached through its descriptor. */
std::string writeScratch(const uint8_t* data, size_t size, long fileSize)
{
    static const int fd = memfd_create("orvi-fuzz-transfer", 0);
    FUZZ_CHECK(fd >= 0 && ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == ssize_t(size)
               && ftruncate(fd, fileSize) == 0);
    return "/proc/self/fd/" + std::to_string(fd);
}

using ReplyBytes = std::array<uint8_t, 64>;

constexpr int kMaxReadyQueries = 16;

unsigned word(const ReplyBytes& r, int at)
{
    return unsigned(r[at]) | unsigned(r[at + 1]) << 8;
}

int expectedOpenResult(OrviSim::ReplyFault fault, const ReplyBytes& r)
{
    if (fault == OrviSim::ReplyFault::NoReply)
        return ORVI_ERR_TIMEOUT;
    if (fault == OrviSim::ReplyFault::ReadError)
        return ORVI_ERR_READ;
    if (r[0] != 0xDB || r[1] != 0x03)
        return ORVI_ERR_BAD_MARKER;
    if (r[2] != 0x09 || r[3] != 0x00)
        return ORVI_ERR_BAD_REPLY_CODE;
    return word(r, 5) != 0 ? ORVI_ERR_COUNT : ORVI_OK;
}

void checkHeader(const OrviDevice* device, int model, const ReplyBytes& r)
{
    OrviHeader h;
    orviGetHeader(device, &h);
    FUZZ_CHECK(h.ensembleVersion == (uint32_t(r[10]) | uint32_t(r[11]) << 8 | uint32_t(r[12]) << 16
                                     | uint32_t(r[14]) << 24));
    FUZZ_CHECK(h.stylesVersion == word(r, 15) && h.auxWord == word(r, 22));
    const unsigned mcuWord = word(r, 20), dspWord = word(r, 18);
    if (model == ORVI_MODEL_ORIG) {
        FUZZ_CHECK(h.mcuVersion == (mcuWord | 0x0300) && h.dspVersion == (dspWord | 0x0300));
    } else if (mcuWord > 0x0064) {
        FUZZ_CHECK(h.mcuVersion == mcuWord && h.dspVersion == dspWord);
    } else {
        /* A packed DSP version: stage 0-3, major 0-7, minor 0-7, that packs back into byte 18. */
        FUZZ_CHECK(h.mcuVersion == mcuWord && (h.dspVersion & 0xFC88) == 0
                   && OrviSim::packDspVersionByte(uint16_t(h.dspVersion)) == r[18]);
    }
}

} // namespace

/*
 * Byte 0: bits 0-1 the component, bit 2 the model (set: Orvi+), bit 3 a DSP version that
 * gets the terminating packet after content, bits 4-5 the file size (0: the data; 1: the data
 * and a sector of zeros; 2: one byte more than the device's flash holds; 3: all it holds,
 * the data filled up with zeros). Byte 1: the data report that fails to write (0: none).
 * Byte 2: the progress call that interrupts (0: none). The rest is the file's content.
 */
int fuzzTransfer(const uint8_t* data, size_t size)
{
    silenceOutput();
    orviSetSectorWaitForTesting(0);
    if (size < 3)
        return 0;
    const Component component = Component(data[0] & 3);
    const int model = data[0] & 4 ? ORVI_MODEL_PLUS : ORVI_MODEL_ORIG;
    const bool terminatorDsp = data[0] & 8;
    const int sizeMode = data[0] >> 4 & 3;
    const int failingReport = data[1];
    struct Interruption { int stopAtCall, calls; } interruption{data[2], 0};
    const uint8_t* content = data + 3;
    const size_t contentSize = size - 3;
    const bool firmware = component == Component::Mcu || component == Component::Dsp;

    const long flashSectors = component == Component::Styles ? 32 : model == ORVI_MODEL_PLUS ? 208 : 80;
    long fileSize = long(contentSize) + (sizeMode == 1 ? kSector : 0);
    if (sizeMode >= 2 && !firmware)
        fileSize = std::max(fileSize, flashSectors * kSector + (sizeMode == 2 ? 1 : 0));
    const std::string path = writeScratch(content, contentSize, fileSize);

    /* The result the transfer must give when nothing breaks, and what the file encodes. */
    int expected = ORVI_OK;
    if (component == Component::Styles && model != ORVI_MODEL_PLUS)
        expected = ORVI_ERR_NOT_SUPPORTED;
    else if (!firmware && (fileSize + kSector - 1) / kSector > flashSectors)
        expected = ORVI_ERR_TOO_BIG;
    std::vector<uint8_t> encoded;
    if (expected == ORVI_OK) {
        encoded.assign(content, content + contentSize);
        encoded.resize(size_t(fileSize), 0);
        if (component == Component::Dsp
            && !OrviSim::bytesFromDspText(std::string(encoded.begin(), encoded.end()), &encoded))
            expected = ORVI_ERR_BAD_FILE;
    }

    auto emulator = plugDevice(model);
    OrviSim::HeaderWords words;
    words.dspWord = terminatorDsp ? 0x0100 : 0x00FF;
    emulator->setHeaderWords(words);
    OrviDevice* device = orviOpen("fuzz-1", model, 1000, nullptr);
    FUZZ_CHECK(device != nullptr);
    const int reportsBefore = emulator->reportCount();
    if (failingReport > 0)
        emulator->failWriteAtReport(reportsBefore + failingReport);

    const OrviProgress progress = {[](float, long, void* userData) {
        auto* interruption = static_cast<Interruption*>(userData);
        return int(++interruption->calls == interruption->stopAtCall);
    }, &interruption};
    const int result = kSend[int(component)](device, path.c_str(), &progress);
    orviClose(device);

    auto transfer = emulator->lastTransfer(component);
    if (result != ORVI_OK) {
        FUZZ_CHECK(result == expected || (failingReport > 0 && result == ORVI_ERR_WRITE)
                   || (interruption.stopAtCall > 0 && result == ORVI_ERR_INTERRUPTED));
        FUZZ_CHECK(emulator->installCount() == 0);
        FUZZ_CHECK(!transfer || (firmware ? !transfer->ended : !transfer->terminated));
        /* A file refused for its model or its size sends nothing. */
        FUZZ_CHECK(emulator->reportCount() == reportsBefore
                   || (result != ORVI_ERR_NOT_SUPPORTED && result != ORVI_ERR_TOO_BIG));
        return 0;
    }
    FUZZ_CHECK(expected == ORVI_OK);
    FUZZ_CHECK(emulator->violations().empty());
    const bool terminated = !firmware && model == ORVI_MODEL_PLUS && terminatorDsp;
    if (!transfer) {
        /* An empty content file sends no sector, at most a terminating packet. */
        FUZZ_CHECK(!firmware && fileSize == 0);
        return 0;
    }
    /* A device told nothing of the end takes a tagged image once its tag's length has
     * arrived; whatever follows starts a transfer of its own. */
    const auto transfers = emulator->transfers();
    if (!firmware && !terminated && transfers.size() > 1) {
        transfer->received.clear();
        transfer->sectorsComplete = 0;
        for (const OrviSim::Transfer& part : transfers) {
            transfer->received.insert(transfer->received.end(), part.received.begin(), part.received.end());
            transfer->sectorsComplete += part.sectorsComplete;
        }
    }
    FUZZ_CHECK(transfer->sequenceOk && transfer->fitsFlash && transfer->holdsExactly(encoded));
    /* The device refuses an image whose tag claims more bytes than arrived. */
    const bool whole = !transfer->tag || transfer->tag->length <= transfer->received.size();
    if (firmware)
        FUZZ_CHECK(transfer->ended && transfer->checksumOk && transfer->installed == whole);
    else if (terminated)
        FUZZ_CHECK(transfer->terminated && transfer->installed == whole);
    return 0;
}

/*
 * Byte 0: bit 0 the model (set: Orvi+), bits 1-2 what becomes of the open reply (1: none,
 * 2: the read fails). Then one 64-byte reply per request: the open request's, then one per
 * ready query; a short last reply is filled with zeros.
 */
int fuzzReplies(const uint8_t* data, size_t size)
{
    silenceOutput();
    if (size == 0)
        return 0;
    const int model = data[0] & 1 ? ORVI_MODEL_PLUS : ORVI_MODEL_ORIG;
    const OrviSim::ReplyFault openFault = (data[0] >> 1 & 3) == 1   ? OrviSim::ReplyFault::NoReply
                                          : (data[0] >> 1 & 3) == 2 ? OrviSim::ReplyFault::ReadError
                                                                    : OrviSim::ReplyFault::None;

    std::vector<ReplyBytes> replies;
    for (size_t at = 1; at < size && replies.size() <= kMaxReadyQueries; at += 64) {
        ReplyBytes reply{};
        std::memcpy(reply.data(), data + at, std::min<size_t>(64, size - at));
        replies.push_back(reply);
    }
    if (replies.empty())
        replies.push_back(ReplyBytes{});

    auto emulator = plugDevice(model);
    emulator->setHeaderReplyFault({openFault, 1, 0});
    emulator->setScriptedReplies(replies);

    unsigned int error = 0;
    OrviDevice* device = orviOpen("fuzz-1", model, 0, &error);
    const int expected = expectedOpenResult(openFault, replies[0]);
    if (expected != ORVI_OK) {
        FUZZ_CHECK(device == nullptr && int(error) == expected);
        return 0;
    }
    FUZZ_CHECK(device != nullptr);
    checkHeader(device, model, replies[0]);

    for (size_t i = 1; i < replies.size(); ++i) {
        const ReplyBytes& r = replies[i];
        unsigned int ready = 0x100;
        const int result = orviCheckReadyForUpdate(device, 1000, &ready);
        if (r[2] == 0x13 && r[8] == 0x0B)
            FUZZ_CHECK(result == ORVI_OK && ready == r[10]);
        else
            FUZZ_CHECK(result == ORVI_ERR_BAD_READY_REPLY && ready == 0x100);
    }
    orviClose(device);
    return 0;
}
