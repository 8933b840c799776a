#include "hid_sim.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <mutex>
#include <thread>

using Clock = std::chrono::steady_clock;
using OrviSim::OrviEmulator;

/* An open handle. Replies reach every handle open on the device, as with a real HID queue. */
struct hid_device_ {
    std::shared_ptr<OrviEmulator> device;
    std::string path;
    /* Frames of a paced device, counted from the first paced write on this handle. */
    Clock::time_point frameOrigin{};
    long long lastFrame = -1;
    int frameUs = 0;
    bool gone = false; /* the device was unplugged since the open */
    std::deque<OrviSim::Reply> replies;
};

namespace {

struct ReturningDevice {
    HidSim::PluggedDevice device;
    Clock::time_point due;
};

struct Bus {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<HidSim::PluggedDevice> devices;
    std::vector<ReturningDevice> returning;
    std::vector<hid_device*> handles;
    HidSim::CallCounts counts;
    bool environmentRead = false;
};

Bus& bus()
{
    static Bus instance;
    return instance;
}

using Lock = std::unique_lock<std::mutex>;

std::vector<HidSim::PluggedDevice>::iterator findPlugged(Bus& b, const std::string& path)
{
    return std::find_if(b.devices.begin(), b.devices.end(),
                        [&](const HidSim::PluggedDevice& d) { return d.path == path; });
}

void unplugLocked(Bus& b, const std::string& path)
{
    auto it = findPlugged(b, path);
    if (it == b.devices.end())
        return;
    for (hid_device* handle : b.handles) {
        if (handle->device == it->device)
            handle->gone = true;
    }
    b.devices.erase(it);
    b.changed.notify_all();
}

void plugLocked(Bus& b, const HidSim::PluggedDevice& device)
{
    unplugLocked(b, device.path);
    b.devices.push_back(device);
    b.changed.notify_all();
}

/* Devices back from a reboot appear once their time has come. */
void applyDueReturns(Bus& b)
{
    Clock::time_point now = Clock::now();
    for (auto it = b.returning.begin(); it != b.returning.end();) {
        if (it->due <= now) {
            plugLocked(b, it->device);
            it = b.returning.erase(it);
        } else {
            ++it;
        }
    }
}

void startReboot(Bus& b, const std::string& path, const std::shared_ptr<OrviEmulator>& device)
{
    OrviSim::RebootBehaviour behaviour = device->takeReboot();
    auto it = findPlugged(b, path);
    if (it == b.devices.end() || it->device != device)
        return; /* unplugged meanwhile: it restarts whenever it is plugged again */
    ReturningDevice back{*it, Clock::now() + std::chrono::milliseconds(behaviour.goneMs)};
    if (!behaviour.newPath.empty())
        back.device.path = behaviour.newPath;
    unplugLocked(b, path);
    b.returning.push_back(back);
}

/* Waits until pred holds, waking also when a rebooting device is due back. */
template <typename Predicate>
bool waitLocked(Bus& b, Lock& lock, int timeoutMs, Predicate pred)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        applyDueReturns(b);
        if (pred())
            return true;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return false;
        Clock::time_point wake = deadline;
        for (const ReturningDevice& r : b.returning)
            wake = std::min(wake, r.due);
        b.changed.wait_until(lock, wake);
    }
}

/*
 * A paced report takes the next free frame, as a full-speed USB device takes one report per
 * 1 ms frame: the write waits for that frame's start, so host time between writes that fits
 * inside a frame costs nothing. Only the handle's own thread writes on it.
 */
void waitForFrame(Bus& b, hid_device* dev, int frameUs)
{
    const Clock::time_point now = Clock::now();
    const std::chrono::microseconds frame(frameUs);
    if (dev->frameUs != frameUs || dev->lastFrame < 0) {
        dev->frameUs = frameUs;
        dev->frameOrigin = now;
        dev->lastFrame = -1;
    }
    const long long reached = (now - dev->frameOrigin + frame - std::chrono::nanoseconds(1)) / frame;
    dev->lastFrame = std::max(reached, dev->lastFrame + 1);
    const Clock::time_point start = dev->frameOrigin + dev->lastFrame * frame;
    {
        Lock lock(b.mutex);
        b.counts.pacedUs += frameUs;
    }
    std::this_thread::sleep_until(start);
}

wchar_t* copyWide(const std::wstring& text)
{
    wchar_t* copy = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr)
        std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

char* copyText(const std::string& text)
{
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr)
        std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

/*
 * hidapi frees and replaces one process-wide error text in these calls, so two threads
 * inside them at once corrupt its heap: a crash at some later call, or none. The bus makes
 * the broken rule certain instead: it aborts the program that broke it, naming the calls.
 * Each call also takes about as long as a real enumeration over udev, so that calls made
 * without a lock meet as often as they do on a real bus.
 */
class GlobalCall {
public:
    explicit GlobalCall(const char* name)
    {
        std::lock_guard<std::mutex> lock(mutex());
        State& state = current();
        if (state.depth > 0 && state.owner != std::this_thread::get_id()) {
            std::fprintf(stderr, "hid_sim: %s called while another thread is inside %s: hidapi's global "
                                 "calls must not run at the same time\n", name, state.name);
            std::abort();
        }
        if (state.depth++ == 0) {
            state.owner = std::this_thread::get_id();
            state.name = name;
        }
    }
    ~GlobalCall()
    {
        std::lock_guard<std::mutex> lock(mutex());
        --current().depth;
    }
    static void takeRealTime() { std::this_thread::sleep_for(std::chrono::microseconds(500)); }

private:
    struct State {
        std::thread::id owner;
        const char* name = "";
        int depth = 0;
    };
    static std::mutex& mutex()
    {
        static std::mutex instance;
        return instance;
    }
    static State& current()
    {
        static State instance;
        return instance;
    }
};

/* The devices set up from ORVI_SIM_DEVICES, for the report of what they received. */
std::vector<HidSim::PluggedDevice>& configuredDevices()
{
    static std::vector<HidSim::PluggedDevice> devices;
    return devices;
}

void writeReport()
{
    FILE* report = std::fopen(std::getenv("ORVI_SIM_REPORT"), "w");
    if (report == nullptr)
        return;
    for (const HidSim::PluggedDevice& d : configuredDevices()) {
        const std::string serial(d.serialNumber.begin(), d.serialNumber.end());
        std::fprintf(report, "%s reports %d\n", serial.c_str(), d.device->reportCount());
        for (const OrviSim::Transfer& t : d.device->transfers()) {
            if (t.installed)
                std::fprintf(report, "%s installed %s %016llx\n", serial.c_str(), OrviSim::componentName(t.component),
                             (unsigned long long)OrviSim::fingerprint(t.image()));
        }
    }
    std::fclose(report);
}

} // namespace

namespace HidSim {

void reset()
{
    Bus& b = bus();
    Lock lock(b.mutex);
    for (hid_device* handle : b.handles)
        handle->gone = true;
    b.devices.clear();
    b.returning.clear();
    b.counts = CallCounts();
    b.changed.notify_all();
}

std::shared_ptr<OrviEmulator> plug(uint16_t productId, const std::string& path,
                                   const std::wstring& serialNumber, uint16_t vendorId)
{
    PluggedDevice device;
    device.path = path;
    device.serialNumber = serialNumber;
    device.vendorId = vendorId;
    device.productId = productId;
    device.device = std::make_shared<OrviEmulator>(productId == kProductOrvi ? 0 : 1);
    plugDevice(device);
    return device.device;
}

void plugDevice(const PluggedDevice& device)
{
    Bus& b = bus();
    Lock lock(b.mutex);
    b.returning.erase(std::remove_if(b.returning.begin(), b.returning.end(),
                                     [&](const ReturningDevice& r) { return r.device.path == device.path; }),
                      b.returning.end());
    plugLocked(b, device);
}

bool unplug(const std::string& path)
{
    Bus& b = bus();
    Lock lock(b.mutex);
    applyDueReturns(b);
    auto returning = std::remove_if(b.returning.begin(), b.returning.end(),
                                    [&](const ReturningDevice& r) { return r.device.path == path; });
    bool found = returning != b.returning.end() || findPlugged(b, path) != b.devices.end();
    b.returning.erase(returning, b.returning.end());
    unplugLocked(b, path);
    return found;
}

std::shared_ptr<OrviEmulator> device(const std::string& path)
{
    Bus& b = bus();
    Lock lock(b.mutex);
    applyDueReturns(b);
    auto it = findPlugged(b, path);
    return it == b.devices.end() ? nullptr : it->device;
}

std::vector<PluggedDevice> devices()
{
    Bus& b = bus();
    Lock lock(b.mutex);
    applyDueReturns(b);
    return b.devices;
}

std::vector<std::string> paths()
{
    std::vector<std::string> result;
    for (const PluggedDevice& d : devices())
        result.push_back(d.path);
    return result;
}

bool waitForPlugged(const std::string& path, int timeoutMs)
{
    Bus& b = bus();
    Lock lock(b.mutex);
    return waitLocked(b, lock, timeoutMs, [&] { return findPlugged(b, path) != b.devices.end(); });
}

bool waitForUnplugged(const std::string& path, int timeoutMs)
{
    Bus& b = bus();
    Lock lock(b.mutex);
    return waitLocked(b, lock, timeoutMs, [&] { return findPlugged(b, path) == b.devices.end(); });
}

bool rebootPending()
{
    Bus& b = bus();
    Lock lock(b.mutex);
    applyDueReturns(b);
    return !b.returning.empty();
}

int openHandleCount()
{
    Bus& b = bus();
    Lock lock(b.mutex);
    return int(b.handles.size());
}

CallCounts callCounts()
{
    Bus& b = bus();
    Lock lock(b.mutex);
    return b.counts;
}

bool configureFromText(const std::string& text)
{
    std::vector<OrviSim::DeviceSetup> setups;
    if (!OrviSim::parseDeviceSetups(text, &setups))
        return false;
    for (std::size_t i = 0; i < setups.size(); ++i) {
        const OrviSim::DeviceSetup& setup = setups[i];
        if (!setup.plugged)
            continue;
        PluggedDevice device;
        device.path = setup.path.empty() ? "sim-" + std::to_string(i + 1) : setup.path;
        device.serialNumber = std::wstring(setup.serialNumber.begin(), setup.serialNumber.end());
        device.productId = setup.productId;
        device.device = setup.makeEmulator();
        plugDevice(device);
    }
    return true;
}

} // namespace HidSim

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    GlobalCall call("hid_init");
    Bus& b = bus();
    {
        Lock lock(b.mutex);
        if (b.environmentRead)
            return 0;
        b.environmentRead = true;
    }
    const char* text = std::getenv("ORVI_SIM_DEVICES");
    if (text != nullptr && !HidSim::configureFromText(text))
        std::fprintf(stderr, "hid_sim: ignoring ORVI_SIM_DEVICES: cannot read \"%s\"\n", text);
    if (text != nullptr && std::getenv("ORVI_SIM_REPORT") != nullptr) {
        configuredDevices() = HidSim::devices();
        std::atexit(writeReport);
    }
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    GlobalCall call("hid_exit");
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id)
{
    GlobalCall call("hid_enumerate");
    // Like hidapi, enumerating or opening initialises the library when the caller did not.
    hid_init();
    GlobalCall::takeRealTime();
    Bus& b = bus();
    Lock lock(b.mutex);
    applyDueReturns(b);
    ++b.counts.enumerations;
    hid_device_info* first = nullptr;
    hid_device_info** next = &first;
    for (const HidSim::PluggedDevice& d : b.devices) {
        if ((vendor_id != 0 && vendor_id != d.vendorId) || (product_id != 0 && product_id != d.productId))
            continue;
        hid_device_info* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        if (info == nullptr)
            break;
        info->path = copyText(d.path);
        info->vendor_id = d.vendorId;
        info->product_id = d.productId;
        info->serial_number = copyWide(d.serialNumber);
        info->release_number = 0x0100;
        info->manufacturer_string = copyWide(L"Brevanto");
        info->product_string = copyWide(d.productId == HidSim::kProductOrvi ? L"Orvi" : L"Orvi+");
        info->interface_number = 0;
        info->bus_type = HID_API_BUS_USB;
        *next = info;
        next = &info->next;
    }
    return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs)
{
    GlobalCall call("hid_free_enumeration");
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path)
{
    GlobalCall call("hid_open_path");
    hid_init();
    GlobalCall::takeRealTime();
    Bus& b = bus();
    Lock lock(b.mutex);
    applyDueReturns(b);
    auto it = path != nullptr ? findPlugged(b, path) : b.devices.end();
    const int error = it == b.devices.end() ? ENOENT : it->device->openError();
    if (error != 0) {
        ++b.counts.failedOpens;
        errno = error;
        return nullptr;
    }
    ++b.counts.opens;
    hid_device* handle = new hid_device;
    handle->device = it->device;
    handle->path = it->path;
    b.handles.push_back(handle);
    return handle;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (dev == nullptr || data == nullptr || length == 0)
        return -1;
    Bus& b = bus();
    std::shared_ptr<OrviEmulator> device;
    {
        Lock lock(b.mutex);
        ++b.counts.writes;
        applyDueReturns(b);
        if (dev->gone)
            return -1;
        device = dev->device;
    }
    OrviSim::Delivery delivery = device->deliverReport(data, length);
    if (delivery.pacingUs > 0)
        waitForFrame(b, dev, delivery.pacingUs);
    if (delivery.outcome == OrviSim::WriteOutcome::Accepted && delivery.replies.empty()
        && !delivery.rebootPending)
        return int(length);

    Lock lock(b.mutex);
    if (delivery.outcome == OrviSim::WriteOutcome::Unplugged) {
        unplugLocked(b, dev->path);
        return -1;
    }
    if (delivery.outcome == OrviSim::WriteOutcome::Failed)
        return -1;
    if (!delivery.replies.empty()) {
        for (hid_device* handle : b.handles) {
            if (handle->device == device && !handle->gone)
                handle->replies.insert(handle->replies.end(), delivery.replies.begin(),
                                       delivery.replies.end());
        }
        b.changed.notify_all();
    }
    if (delivery.rebootPending)
        startReboot(b, dev->path, device);
    return int(length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                                 int milliseconds)
{
    if (dev == nullptr || data == nullptr)
        return -1;
    Bus& b = bus();
    Lock lock(b.mutex);
    ++b.counts.reads;
    bool forever = milliseconds < 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
    for (;;) {
        if (dev->gone)
            return -1;
        Clock::time_point now = Clock::now();
        if (!dev->replies.empty() && dev->replies.front().due <= now) {
            OrviSim::Reply reply = dev->replies.front();
            dev->replies.pop_front();
            if (reply.readError)
                return -1;
            std::size_t count = std::min(length, reply.length);
            std::memcpy(data, reply.bytes.data(), count);
            return int(count);
        }
        if (!forever && now >= deadline)
            return 0;
        if (!dev->replies.empty() && (forever || dev->replies.front().due < deadline))
            b.changed.wait_until(lock, dev->replies.front().due);
        else if (forever)
            b.changed.wait(lock);
        else
            b.changed.wait_until(lock, deadline);
    }
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev)
{
    if (dev == nullptr)
        return;
    Bus& b = bus();
    Lock lock(b.mutex);
    ++b.counts.closes;
    b.handles.erase(std::remove(b.handles.begin(), b.handles.end(), dev), b.handles.end());
    delete dev;
}

} // extern "C"
