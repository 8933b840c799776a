/*
 * The device's replies: any bytes answering the open request and the ready queries give the
 * result code the reply calls for and a header taken from the reply's own bytes.
 */
#include "fuzz_targets.h"

#include "device/orvi_device.h"
#include "hid_sim.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

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

    HidSim::reset();
    auto emulator = HidSim::plug(model == ORVI_MODEL_PLUS ? HidSim::kProductOrviPlus : HidSim::kProductOrvi,
                                 "fuzz-1");
    emulator->setFrameLogEnabled(false);
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
