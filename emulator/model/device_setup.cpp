#include "device_setup.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace OrviSim {

namespace {

std::string trimmed(const std::string& text)
{
    std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        std::string part = trimmed(text.substr(start, end == std::string::npos ? end : end - start));
        if (!part.empty())
            parts.push_back(part);
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool parseNumber(const std::string& text, unsigned long maximum, unsigned long* value)
{
    bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (isHex ? 2 : 0);
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(digits, &end, isHex ? 16 : 10);
    if (*end != '\0' || errno != 0 || number > maximum)
        return false;
    *value = number;
    return true;
}

/* "VALUE[:COUNT]": the count part, when there is one, goes to *count. */
bool splitCount(const std::string& text, std::string* value, int* count)
{
    std::size_t colon = text.find(':');
    *value = text.substr(0, colon);
    if (colon == std::string::npos)
        return true;
    unsigned long number = 0;
    if (!parseNumber(text.substr(colon + 1), 1000000, &number))
        return false;
    *count = int(number);
    return true;
}

bool parseFault(const std::string& text, bool header, ReplyFaultSetting* setting)
{
    static const std::pair<const char*, ReplyFault> kinds[] = {
        {"no-reply", ReplyFault::NoReply},       {"read-error", ReplyFault::ReadError},
        {"bad-marker", ReplyFault::BadMarker},   {"bad-code", ReplyFault::BadReplyCode},
        {"bad-count", ReplyFault::BadCount},     {"bad-echo", ReplyFault::BadReadyEcho}};
    std::string kind;
    int times = -1;
    if (!splitCount(text, &kind, &times))
        return false;
    for (const auto& k : kinds) {
        if (kind != k.first)
            continue;
        ReplyFault fault = k.second;
        bool headerOnly = fault == ReplyFault::BadMarker || fault == ReplyFault::BadCount;
        if (header ? fault == ReplyFault::BadReadyEcho : headerOnly)
            return false;
        if (!header && fault == ReplyFault::BadReplyCode)
            fault = ReplyFault::BadReadyCode;
        setting->fault = fault;
        setting->times = times;
        return true;
    }
    return false;
}

bool parseSetting(const std::string& key, const std::string& value, DeviceSetup* d)
{
    unsigned long number = 0;
    if (key == "model") {
        if (value == "orvi")
            d->productId = kProductOrvi;
        else if (value == "plus")
            d->productId = kProductOrviPlus;
        else if (parseNumber(value, 0xFFFF, &number))
            d->productId = uint16_t(number);
        else
            return false;
    } else if (key == "path") {
        d->path = value;
    } else if (key == "serial") {
        d->serialNumber = value;
    } else if (key == "reboot-path") {
        d->reboot.newPath = value;
    } else if (key == "ready") {
        if (value == "now") {
            d->readiness = Readiness::Immediate;
        } else if (value == "never") {
            d->readiness = Readiness::Never;
        } else if (parseNumber(value, 1000000, &number)) {
            d->readiness = Readiness::AfterQueries;
            d->notReadyQueries = int(number);
        } else {
            return false;
        }
    } else if (key == "ensemble") {
        if (!parseNumber(value, 0xFFFFFFFFul, &number))
            return false;
        d->words.ensembleVersion = uint32_t(number);
    } else if (key == "header-fault" || key == "ready-fault") {
        return parseFault(value, key == "header-fault", key == "header-fault" ? &d->headerFault : &d->readyFault);
    } else if (key == "fail-write") {
        std::string first;
        if (!splitCount(value, &first, &d->failWriteCount) || !parseNumber(first, 100000000, &number)
            || number == 0)
            return false;
        d->failWriteAt = int(number);
    } else if (key == "refuse-open") {
        if (value != "yes" && value != "denied" && value != "no")
            return false;
        d->openError = value == "yes" ? ENOENT : value == "denied" ? EACCES : 0;
    } else if (key == "plugged") {
        if (value != "yes" && value != "no")
            return false;
        d->plugged = value == "yes";
    } else if (key == "mcu" || key == "dsp" || key == "styles" || key == "aux") {
        uint16_t* word = key == "mcu" ? &d->words.mcuWord
            : key == "dsp"            ? &d->words.dspWord
            : key == "styles"         ? &d->words.stylesVersion
                                      : &d->words.auxWord;
        if (!parseNumber(value, 0xFFFF, &number))
            return false;
        *word = uint16_t(number);
    } else {
        int* field = key == "reboot-ms" ? &d->reboot.goneMs
            : key == "pacing-us"        ? &d->pacingUs
            : key == "reply-delay-ms"   ? &d->replyDelayMs
            : key == "unplug-at"        ? &d->unplugAt
                                        : nullptr;
        if (field == nullptr || !parseNumber(value, 3600000, &number))
            return false;
        *field = int(number);
    }
    return true;
}

} // namespace

std::shared_ptr<OrviEmulator> DeviceSetup::makeEmulator() const
{
    auto emulator = std::make_shared<OrviEmulator>(productId == kProductOrvi ? 0 : 1);
    emulator->setHeaderWords(words);
    emulator->setReadiness(readiness, notReadyQueries);
    emulator->setRebootBehaviour(reboot);
    emulator->setReportPacingUs(pacingUs);
    emulator->setHeaderReplyFault(headerFault);
    emulator->setReadyReplyFault(readyFault);
    emulator->setReplyDelayMs(replyDelayMs);
    if (failWriteAt > 0)
        emulator->failWriteAtReport(failWriteAt, failWriteCount);
    if (unplugAt > 0)
        emulator->unplugAtReport(unplugAt);
    emulator->setOpenRefused(openError != 0, openError);
    return emulator;
}

bool parseDeviceSetups(const std::string& text, std::vector<DeviceSetup>* setups, std::string* error)
{
    std::vector<DeviceSetup> parsed;
    for (const std::string& entry : split(text, ';')) {
        DeviceSetup d;
        d.serialNumber = "SIM000" + std::to_string(setups->size() + parsed.size() + 1);
        d.reboot.enabled = true;
        d.reboot.goneMs = 3000;
        for (const std::string& setting : split(entry, ',')) {
            std::size_t equals = setting.find('=');
            if (equals == std::string::npos
                || !parseSetting(trimmed(setting.substr(0, equals)), trimmed(setting.substr(equals + 1)), &d)) {
                if (error != nullptr)
                    *error = "cannot read \"" + setting + "\"";
                return false;
            }
        }
        parsed.push_back(d);
    }
    setups->insert(setups->end(), parsed.begin(), parsed.end());
    return true;
}

} // namespace OrviSim
