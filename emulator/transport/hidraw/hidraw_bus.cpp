#include "hidraw_bus.h"

#include <umockdev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace HidrawEmu {

namespace {

/* Vendor page 0xFF00, one 64-byte input and one 64-byte output report, no report IDs. */
const uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};

constexpr const char* kUsbParent = "pci0000:00/0000:00:14.0/usb1";
constexpr const char* kNodePrefix = "/dev/hidraw";

bool isNodePath(const std::string& path)
{
    const std::size_t prefix = std::strlen(kNodePrefix);
    return path.size() > prefix && path.size() <= prefix + 3 && path.compare(0, prefix, kNodePrefix) == 0
        && std::all_of(path.begin() + long(prefix), path.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string hex4(unsigned value, bool upper)
{
    char text[8];
    std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", value & 0xFFFF);
    return text;
}

void complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

/* Copies up to size bytes of source into the caller's ioctl buffer. */
void replyWith(UMockdevIoctlClient* client, std::size_t size, const void* source, std::size_t sourceSize, long result)
{
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
    if (data == nullptr) {
        complete(client, -1, EFAULT);
        return;
    }
    const std::size_t n = std::min(size, sourceSize);
    std::memcpy(data->data, source, n);
    std::memset(data->data + n, 0, size - n);
    g_object_unref(data);
    complete(client, result, 0);
}

void replyText(UMockdevIoctlClient* client, std::size_t size, const std::string& text)
{
    replyWith(client, size, text.c_str(), text.size() + 1, long(std::min(size, text.size() + 1)));
}

/* Runs a function once on a main context, after delayMs (0: as soon as it gets there). The
   source returned belongs to the context: take a reference to keep it. */
GSource* attach(GMainContext* context, unsigned delayMs, std::function<void()> function)
{
    GSource* source = delayMs == 0 ? g_idle_source_new() : g_timeout_source_new(delayMs);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(function)),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    g_source_attach(source, context);
    g_source_unref(source);
    return source;
}

/*
 * A session of its own that takes the terminal as its controlling terminal, so that no
 * program opening the node later can. Raw system calls only: the parent has threads, and
 * the preload's wrappers take locks.
 */
pid_t claimTerminal(const char* terminal)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (syscall(SYS_getppid) != parent)
        syscall(SYS_exit_group, 0);
    syscall(SYS_close_range, 0u, ~0u, 0u);
    syscall(SYS_setsid);
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, nullptr);
    const long fd = syscall(SYS_openat, AT_FDCWD, terminal, O_RDWR);
    if (fd >= 0)
        syscall(SYS_close, fd);
    for (;;)
        syscall(SYS_pause);
}

struct QueuedReply {
    bool readError = false;
    std::array<uint8_t, 64> bytes{};
};

} // namespace

/* One plugging of a device at a node. Handles opened on an earlier plugging stay dead. */
struct Instance {
    HidrawBus::Private* bus = nullptr;
    NodeDevice device;
    UMockdevIoctlBase* handler = nullptr;
    std::string sysUsb, sysInterface, sysHid, sysRaw;
    int port = 0; /* USB port of this plugging */
    bool leaving = false; /* being unplugged; guarded by the bus's mutex */
    int master = -1;
    pid_t guard = 0;

    std::mutex mutex; /* guards what follows: the worker thread against the bus thread */
    bool alive = false;
    int drain = -1; /* our own end of the terminal, to take doorbells back */
    std::deque<QueuedReply> replies;
    UMockdevIoctlClient* pendingRead = nullptr;
    int64_t frameOriginUs = 0;
    int frameUs = 0;
    int64_t lastFrame = -1;

    bool isAlive()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return alive;
    }
};

struct HidrawBus::Private {
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    bool ok = false;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;

    mutable std::mutex mutex; /* guards what follows */
    mutable std::condition_variable changed;
    std::vector<std::shared_ptr<Instance>> plugged;
    std::vector<std::shared_ptr<Instance>> retired; /* old handles may still call in */
    struct Returning {
        GSource* timer;
        std::shared_ptr<OrviSim::OrviEmulator> device;
    };
    std::map<std::string, Returning> returning; /* node -> a device on its way back from a restart */
    Statistics statistics;
    int hidInstance = 0;

    std::mutex eventMutex;
    std::function<void(const BusEvent&)> eventHandler;

    void emit(const BusEvent& event)
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        if (eventHandler)
            eventHandler(event);
    }

    BusEvent event(BusEvent::Kind kind, const Instance& instance, const std::string& text)
    {
        BusEvent e;
        e.kind = kind;
        e.node = instance.device.node;
        e.serialNumber = instance.device.serialNumber;
        e.text = text;
        return e;
    }

    /* Runs function on the bus thread and waits for it. */
    void call(const std::function<void()>& function)
    {
        if (std::this_thread::get_id() == thread.get_id()) {
            function();
            return;
        }
        std::mutex doneMutex;
        std::condition_variable doneChanged;
        bool done = false;
        attach(context, 0, [&] {
            function();
            std::lock_guard<std::mutex> lock(doneMutex);
            done = true;
            doneChanged.notify_all();
        });
        std::unique_lock<std::mutex> lock(doneMutex);
        doneChanged.wait(lock, [&] { return done; });
    }

    bool nodeTakenLocked(const std::string& node) const
    {
        return returning.count(node) != 0
            || std::any_of(plugged.begin(), plugged.end(),
                           [&](const std::shared_ptr<Instance>& i) { return i->device.node == node; });
    }

    std::shared_ptr<Instance> findLocked(const std::string& node) const
    {
        for (const std::shared_ptr<Instance>& instance : plugged) {
            if (instance->device.node == node)
                return instance;
        }
        return nullptr;
    }

    int freeUsbPortLocked() const
    {
        int port = 1;
        while (std::any_of(plugged.begin(), plugged.end(),
                           [&](const std::shared_ptr<Instance>& i) { return i->port == port; }))
            ++port;
        return port;
    }

    std::string plugInstance(const std::shared_ptr<Instance>& instance);
    bool unplugInstance(const std::shared_ptr<Instance>& instance, const char* why);
    void kill(Instance& instance);
    void restart(const std::shared_ptr<Instance>& instance);
    void deliver(Instance& instance, const QueuedReply& reply);
    void waitForFrame(Instance& instance, int frameUs);
    std::shared_ptr<Instance> instanceOf(Instance* raw) const;

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
    static gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
    static gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
};

namespace {

/* A read completed with one report (cut to the reader's buffer, as hidraw does). */
void completeRead(UMockdevIoctlClient* client, const QueuedReply& reply)
{
    if (reply.readError) {
        complete(client, -1, EIO);
        return;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::size_t n = std::min(reply.bytes.size(), std::size_t(arg->data_len));
    std::memcpy(arg->data, reply.bytes.data(), n);
    complete(client, long(n), 0);
}

} // namespace

std::shared_ptr<Instance> HidrawBus::Private::instanceOf(Instance* raw) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto* list : {&plugged, &retired}) {
        for (const std::shared_ptr<Instance>& instance : *list) {
            if (instance.get() == raw)
                return instance;
        }
    }
    return nullptr;
}

std::string HidrawBus::Private::plugInstance(const std::shared_ptr<Instance>& instance)
{
    Instance& in = *instance;
    int master = -1;
    int slave = -1;
    char terminal[128];
    if (openpty(&master, &slave, terminal, nullptr, nullptr) != 0)
        return std::string();
    struct termios settings;
    tcgetattr(master, &settings);
    cfmakeraw(&settings);
    tcsetattr(master, TCSANOW, &settings);
    close(slave);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    in.master = master;
    in.guard = claimTerminal(terminal);
    const int drain = open(terminal, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);

    /* hidapi's udev lookups check the node's device number against sysfs: use the terminal's. */
    struct stat status;
    stat(terminal, &status);
    const std::string major = std::to_string(major(status.st_rdev));
    const std::string minor = std::to_string(minor(status.st_rdev));
    const std::string name = in.device.node.substr(std::strlen("/dev/"));
    /* Tells the preload that this terminal is the node, so that isatty() on it is false. */
    std::string mapName = terminal;
    std::replace(mapName.begin(), mapName.end(), '/', '_');
    const std::string mapFile = root + "/dev/.ptymap/" + mapName;
    g_mkdir_with_parents((root + "/dev/.ptymap").c_str(), 0755);
    unlink(mapFile.c_str());
    symlink((major + ":" + minor).c_str(), mapFile.c_str());

    {
        std::lock_guard<std::mutex> lock(in.mutex);
        in.drain = drain;
        in.alive = true;
        in.lastFrame = -1;
        in.frameUs = 0;
    }
    /* The handler must be in place before the add event: a program may open at once. */
    in.handler = umockdev_ioctl_base_new();
    g_signal_connect(in.handler, "handle-ioctl", G_CALLBACK(&Private::onIoctl), &in);
    g_signal_connect(in.handler, "handle-write", G_CALLBACK(&Private::onWrite), &in);
    g_signal_connect(in.handler, "handle-read", G_CALLBACK(&Private::onRead), &in);
    umockdev_testbed_attach_ioctl(testbed, in.device.node.c_str(), in.handler, nullptr);
    chmod((root + "/ioctl" + in.device.node).c_str(), 0666);
    /* The node last: nothing can open the terminal without the handler. A refused open is a
       node that cannot be opened, as one that is gone. (Failing hidapi's first ioctl instead
       crashes hidapi 0.13.1 on its way out.) A denied one is the terminal that only its owner
       may open, as a hidraw node without the udev rule. */
    const std::string nodeFile = root + in.device.node;
    g_mkdir_with_parents((root + "/dev").c_str(), 0755);
    unlink(nodeFile.c_str());
    const int openError = in.device.device->openError();
    if (openError == EACCES)
        chmod(terminal, 0600);
    symlink(openError != 0 && openError != EACCES ? "/nonexistent-refused-hidraw" : terminal, nodeFile.c_str());

    int hidNumber;
    {
        std::lock_guard<std::mutex> lock(mutex);
        in.port = freeUsbPortLocked();
        hidNumber = ++hidInstance;
    }
    const int port = in.port;
    const bool orvi = in.device.productId == OrviSim::kProductOrvi;
    const std::string product = orvi ? "Orvi" : "Orvi+";
    const std::string vid = hex4(in.device.vendorId, false);
    const std::string pid = hex4(in.device.productId, false);
    const std::string usbName = "1-" + std::to_string(port);
    const std::string hidName = "0003:" + hex4(in.device.vendorId, true) + ":" + hex4(in.device.productId, true)
        + "." + hex4(unsigned(hidNumber), true);
    const std::string phys = "usb-0000:00:14.0-" + std::to_string(port) + "/input0";
    const std::string devnum = std::to_string(port + 1);
    const std::string serial = in.device.serialNumber;

    char* usb = umockdev_testbed_add_device(testbed, "usb", (std::string(kUsbParent) + "/" + usbName).c_str(), nullptr,
        "idVendor", vid.c_str(), "idProduct", pid.c_str(), "bcdDevice", "0100", "manufacturer", "Brevanto",
        "product", product.c_str(), "serial", serial.c_str(), "busnum", "1", "devnum", devnum.c_str(), nullptr,
        "DEVTYPE", "usb_device", "PRODUCT", (vid + "/" + pid + "/100").c_str(), "BUSNUM", "001", nullptr);
    char* interface = umockdev_testbed_add_device(testbed, "usb", (usbName + ":1.0").c_str(), usb,
        "bInterfaceNumber", "00", "bInterfaceClass", "03", nullptr,
        "DEVTYPE", "usb_interface", "INTERFACE", "3/0/0", nullptr);
    char* hid = umockdev_testbed_add_device(testbed, "hid", hidName.c_str(), interface, nullptr,
        "DRIVER", "hid-generic",
        "HID_ID", ("0003:0000" + hex4(in.device.vendorId, true) + ":0000" + hex4(in.device.productId, true)).c_str(),
        "HID_NAME", ("Brevanto " + product).c_str(), "HID_PHYS", phys.c_str(), "HID_UNIQ", serial.c_str(), nullptr);
    umockdev_testbed_set_attribute_binary(testbed, hid, "report_descriptor", const_cast<guint8*>(kReportDescriptor),
                                          sizeof kReportDescriptor);
    /* hidapi reads device/uevent and device/report_descriptor below the hidraw device. */
    const std::string rawDir = root + hid + "/hidraw/" + name;
    g_mkdir_with_parents(rawDir.c_str(), 0755);
    symlink(("../../../" + hidName).c_str(), (rawDir + "/device").c_str());
    char* raw = umockdev_testbed_add_device(testbed, "hidraw", ("hidraw/" + name).c_str(), hid,
        "dev", (major + ":" + minor).c_str(), nullptr,
        "DEVNAME", in.device.node.c_str(), "MAJOR", major.c_str(), "MINOR", minor.c_str(), nullptr);
    in.sysUsb = usb;
    in.sysInterface = interface;
    in.sysHid = hid;
    in.sysRaw = raw;
    g_free(usb);
    g_free(interface);
    g_free(hid);
    g_free(raw);
    {
        std::lock_guard<std::mutex> lock(mutex);
        plugged.push_back(instance);
        changed.notify_all();
    }
    emit(event(BusEvent::Plugged, in, in.sysRaw));
    return in.device.node;
}

/* Ends the plugging for its handles at once; the sysfs side goes on the bus thread. */
void HidrawBus::Private::kill(Instance& instance)
{
    std::lock_guard<std::mutex> lock(instance.mutex);
    instance.alive = false;
    if (instance.pendingRead != nullptr) {
        complete(instance.pendingRead, -1, EIO);
        g_object_unref(instance.pendingRead);
        instance.pendingRead = nullptr;
    }
    instance.replies.clear();
}

/* False when the instance was unplugged already (or is being unplugged). */
bool HidrawBus::Private::unplugInstance(const std::shared_ptr<Instance>& instance, const char* why)
{
    Instance& in = *instance;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (in.leaving || std::find(plugged.begin(), plugged.end(), instance) == plugged.end())
            return false;
        in.leaving = true;
    }
    kill(in);
    /* New opens fail from here, and without the preload falling through to a real
       /dev/hidrawN; connections already made stay with the dead handler. */
    const std::string nodeFile = root + in.device.node;
    unlink(nodeFile.c_str());
    symlink("/nonexistent-unplugged-hidraw", nodeFile.c_str());
    umockdev_testbed_detach_ioctl(testbed, in.device.node.c_str(), nullptr);
    for (const std::string* path : {&in.sysRaw, &in.sysHid, &in.sysInterface, &in.sysUsb})
        umockdev_testbed_uevent(testbed, path->c_str(), "remove");
    for (const std::string* path : {&in.sysRaw, &in.sysHid, &in.sysInterface, &in.sysUsb})
        umockdev_testbed_remove_device(testbed, path->c_str());
    /* Removing the hidraw device took its node along: block the node again. */
    unlink(nodeFile.c_str());
    symlink("/nonexistent-unplugged-hidraw", nodeFile.c_str());
    /* Hanging up the terminal is what open handles see: poll reports POLLHUP. */
    close(in.master);
    in.master = -1;
    {
        std::lock_guard<std::mutex> lock(in.mutex);
        close(in.drain);
        in.drain = -1;
    }
    if (in.guard > 0) {
        ::kill(in.guard, SIGKILL);
        waitpid(in.guard, nullptr, 0);
        in.guard = 0;
    }
    {
        /* Only now, with sysfs cleared, does the device count as gone. */
        std::lock_guard<std::mutex> lock(mutex);
        plugged.erase(std::find(plugged.begin(), plugged.end(), instance));
        retired.push_back(instance);
        changed.notify_all();
    }
    emit(event(BusEvent::Unplugged, in, why));
    return true;
}

void HidrawBus::Private::restart(const std::shared_ptr<Instance>& instance)
{
    const OrviSim::RebootBehaviour behaviour = instance->device.device->takeReboot();
    NodeDevice back = instance->device;
    if (isNodePath(behaviour.newPath))
        back.node = behaviour.newPath;
    kill(*instance);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++statistics.restarts;
        statistics.restartGoneMs += behaviour.goneMs;
    }
    attach(context, 0, [this, instance, back, behaviour] {
        if (!unplugInstance(instance, "restarting"))
            return; /* unplugged meanwhile: it restarts whenever it is plugged in again */
        std::lock_guard<std::mutex> lock(mutex);
        if (returning.count(back.node) != 0 || findLocked(back.node) != nullptr)
            return; /* the node was taken meanwhile: the device stays away */
        GSource* source = attach(context, unsigned(std::max(behaviour.goneMs, 1)), [this, back] {
            {
                std::lock_guard<std::mutex> lock(mutex);
                auto it = returning.find(back.node);
                g_source_unref(it->second.timer);
                returning.erase(it);
            }
            auto next = std::make_shared<Instance>();
            next->bus = this;
            next->device = back;
            plugInstance(next);
        });
        returning[back.node] = Returning{g_source_ref(source), back.device};
        changed.notify_all();
    });
}

void HidrawBus::Private::deliver(Instance& instance, const QueuedReply& reply)
{
    std::lock_guard<std::mutex> lock(instance.mutex);
    if (!instance.alive)
        return;
    if (instance.pendingRead != nullptr) {
        completeRead(instance.pendingRead, reply);
        g_object_unref(instance.pendingRead);
        instance.pendingRead = nullptr;
        std::lock_guard<std::mutex> busLock(mutex);
        ++statistics.replies;
        return;
    }
    instance.replies.push_back(reply);
    const char bell = 0x07;
    if (write(instance.master, &bell, 1) != 1)
        std::fprintf(stderr, "hidraw bus: cannot ring for a reply on %s: %s\n", instance.device.node.c_str(),
                     std::strerror(errno));
}

/* A paced report takes the next free frame: the write waits for that frame's start. */
void HidrawBus::Private::waitForFrame(Instance& instance, int frameUs)
{
    static thread_local bool preciseTimers = (prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0), true);
    (void)preciseTimers;
    const int64_t now = g_get_monotonic_time();
    int64_t startUs;
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        if (instance.frameUs != frameUs || instance.lastFrame < 0) {
            instance.frameUs = frameUs;
            instance.frameOriginUs = now;
            instance.lastFrame = -1;
        }
        const int64_t reached = (now - instance.frameOriginUs + frameUs - 1) / frameUs;
        instance.lastFrame = std::max(reached, instance.lastFrame + 1);
        startUs = instance.frameOriginUs + instance.lastFrame * frameUs;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        statistics.pacedUs += frameUs;
        statistics.waitedUs += startUs - now;
    }
    if (startUs > now) {
        struct timespec until;
        until.tv_sec = time_t(startUs / 1000000);
        until.tv_nsec = long(startUs % 1000000) * 1000;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
}

gboolean HidrawBus::Private::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    Instance& in = *static_cast<Instance*>(data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const std::size_t size = _IOC_SIZE(request);
    if (!in.isAlive()) {
        complete(client, -1, ENODEV);
        return TRUE;
    }
    if (_IOC_TYPE(request) != 'H') {
        complete(client, -1, ENOTTY);
        return TRUE;
    }
    const std::string product = in.device.productId == OrviSim::kProductOrvi ? "Orvi" : "Orvi+";
    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRDESCSIZE): {
        const int descriptorSize = sizeof kReportDescriptor;
        replyWith(client, sizeof descriptorSize, &descriptorSize, sizeof descriptorSize, 0);
        return TRUE;
    }
    case _IOC_NR(HIDIOCGRDESC): {
        struct hidraw_report_descriptor descriptor;
        std::memset(&descriptor, 0, sizeof descriptor);
        descriptor.size = sizeof kReportDescriptor;
        std::memcpy(descriptor.value, kReportDescriptor, sizeof kReportDescriptor);
        replyWith(client, sizeof descriptor, &descriptor, sizeof descriptor, 0);
        return TRUE;
    }
    case _IOC_NR(HIDIOCGRAWINFO): {
        struct hidraw_devinfo info;
        info.bustype = 3; /* BUS_USB */
        info.vendor = int16_t(in.device.vendorId);
        info.product = int16_t(in.device.productId);
        replyWith(client, sizeof info, &info, sizeof info, 0);
        return TRUE;
    }
    case _IOC_NR(HIDIOCGRAWNAME(0)):
        replyText(client, size, "Brevanto " + product);
        return TRUE;
    case _IOC_NR(HIDIOCGRAWPHYS(0)):
        replyText(client, size, "usb-0000:00:14.0-" + std::to_string(in.port) + "/input0");
        return TRUE;
    case _IOC_NR(HIDIOCGRAWUNIQ(0)):
        replyText(client, size, in.device.serialNumber);
        return TRUE;
    default:
        complete(client, -1, EINVAL);
        return TRUE;
    }
}

gboolean HidrawBus::Private::onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    Instance& in = *static_cast<Instance*>(data);
    Private& bus = *in.bus;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::size_t length = std::size_t(std::max(arg->data_len, 0));
    if (!in.isAlive()) {
        complete(client, -1, ENODEV);
        return TRUE;
    }
    const OrviSim::Delivery delivery = in.device.device->deliverReport(arg->data, length);
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        ++bus.statistics.reports;
    }
    BusEvent report = bus.event(BusEvent::Report, in, OrviSim::describeReport(arg->data, length));
    report.reportNumber = delivery.reportNumber;
    report.outcome = delivery.outcome;
    bus.emit(report);
    for (const OrviSim::Violation& violation : delivery.violations) {
        BusEvent e = bus.event(BusEvent::Violation, in, violation.what);
        e.reportNumber = violation.reportNumber;
        bus.emit(e);
    }
    if (delivery.installed) {
        BusEvent e = bus.event(BusEvent::Installed, in, OrviSim::componentName(delivery.installed->component));
        e.reportNumber = delivery.reportNumber;
        e.transfer = &*delivery.installed;
        bus.emit(e);
    }

    if (delivery.outcome == OrviSim::WriteOutcome::Failed) {
        complete(client, -1, EIO);
        return TRUE;
    }
    if (delivery.outcome == OrviSim::WriteOutcome::Unplugged) {
        bus.kill(in);
        std::shared_ptr<Instance> instance = bus.instanceOf(&in);
        attach(bus.context, 0, [&bus, instance] { bus.unplugInstance(instance, "unplugged at a report"); });
        complete(client, -1, ENODEV);
        return TRUE;
    }
    const auto now = std::chrono::steady_clock::now();
    for (const OrviSim::Reply& reply : delivery.replies) {
        QueuedReply queued;
        queued.readError = reply.readError;
        queued.bytes = reply.bytes;
        if (reply.due <= now) {
            bus.deliver(in, queued);
            continue;
        }
        const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(reply.due - now).count();
        std::shared_ptr<Instance> instance = bus.instanceOf(&in);
        attach(bus.context, unsigned(std::max<long long>(delay, 1)), [&bus, instance, queued] {
            bus.deliver(*instance, queued);
        });
    }
    if (delivery.pacingUs > 0)
        bus.waitForFrame(in, delivery.pacingUs);
    if (delivery.rebootPending)
        bus.restart(bus.instanceOf(&in));
    complete(client, long(length), 0);
    return TRUE;
}

gboolean HidrawBus::Private::onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    Instance& in = *static_cast<Instance*>(data);
    std::lock_guard<std::mutex> lock(in.mutex);
    if (!in.alive) {
        complete(client, -1, EIO);
        return TRUE;
    }
    if (!in.replies.empty()) {
        const QueuedReply reply = in.replies.front();
        in.replies.pop_front();
        /* Take the reply's doorbell back; it may still be on its way through the terminal. */
        struct pollfd ring = {in.drain, POLLIN, 0};
        char bell;
        if (poll(&ring, 1, 200) == 1 && read(in.drain, &bell, 1) != 1)
            std::fprintf(stderr, "hidraw bus: lost a doorbell on %s\n", in.device.node.c_str());
        completeRead(client, reply);
        std::lock_guard<std::mutex> busLock(in.bus->mutex);
        ++in.bus->statistics.replies;
    } else if (in.pendingRead == nullptr) {
        /* A blocking read with nothing queued: answered by the next reply. */
        in.pendingRead = UMOCKDEV_IOCTL_CLIENT(g_object_ref(client));
    } else {
        complete(client, -1, EAGAIN);
    }
    return TRUE;
}

/*
 * umockdev answers ioctls on Unix sockets inside its test bed, made under TMPDIR, and a
 * socket path holds at most 107 bytes: under a deep TMPDIR (a build folder's, say) the
 * listening fails and every program under the preload breaks. Such a test bed goes into
 * /tmp; the commands started later still get the TMPDIR they were given.
 */
static UMockdevTestbed* newTestbed()
{
    /* The test bed's own name and the longest socket inside it ("/ioctl/dev/hidraw99"). */
    constexpr std::size_t kLongestTmpdir = 107 - (sizeof "/umockdev.XXXXXX/ioctl/dev/hidraw99" - 1);
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir == nullptr || std::strlen(tmpdir) <= kLongestTmpdir)
        return umockdev_testbed_new();
    const std::string given = tmpdir;
    setenv("TMPDIR", "/tmp", 1);
    UMockdevTestbed* testbed = umockdev_testbed_new();
    setenv("TMPDIR", given.c_str(), 1);
    return testbed;
}

HidrawBus::HidrawBus() : d(new Private)
{
    d->context = g_main_context_new();
    d->loop = g_main_loop_new(d->context, FALSE);
    std::mutex startedMutex;
    std::condition_variable started;
    bool running = false;
    /* Every call on the test bed is made on this thread, from its birth to its end. */
    d->thread = std::thread([&] {
        g_main_context_push_thread_default(d->context);
        d->testbed = newTestbed();
        /* Asked only now: the answer comes from the test bed's /sys. */
        d->ok = umockdev_in_mock_environment();
        char* root = umockdev_testbed_get_root_dir(d->testbed);
        d->root = root;
        /* A program started as another user sees the bus as well; only the nodes' own rights
           (a denied open) keep it out. */
        chmod(root, 0755);
        g_free(root);
        {
            std::lock_guard<std::mutex> lock(startedMutex);
            running = true;
            started.notify_all();
        }
        g_main_loop_run(d->loop);
        for (const std::shared_ptr<Instance>& instance : d->retired) {
            if (instance->handler != nullptr) {
                g_signal_handlers_disconnect_by_data(instance->handler, instance.get());
                g_object_unref(instance->handler);
            }
        }
        g_object_unref(d->testbed);
        g_main_context_pop_thread_default(d->context);
    });
    std::unique_lock<std::mutex> lock(startedMutex);
    started.wait(lock, [&] { return running; });
}

HidrawBus::~HidrawBus()
{
    d->call([this] {
        std::vector<std::shared_ptr<Instance>> instances;
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            for (auto& r : d->returning) {
                g_source_destroy(r.second.timer);
                g_source_unref(r.second.timer);
            }
            d->returning.clear();
            instances = d->plugged;
        }
        for (const std::shared_ptr<Instance>& instance : instances)
            d->unplugInstance(instance, "unplugged");
        g_main_loop_quit(d->loop);
    });
    d->thread.join();
    g_main_loop_unref(d->loop);
    g_main_context_unref(d->context);
}

bool HidrawBus::ok() const
{
    return d->ok;
}

std::string HidrawBus::rootDir() const
{
    return d->root;
}

void HidrawBus::setEventHandler(std::function<void(const BusEvent&)> handler)
{
    std::lock_guard<std::mutex> lock(d->eventMutex);
    d->eventHandler = std::move(handler);
}

std::string HidrawBus::plug(const OrviSim::DeviceSetup& setup)
{
    NodeDevice device;
    device.node = setup.path;
    device.serialNumber = setup.serialNumber;
    device.productId = setup.productId;
    device.device = setup.makeEmulator();
    return plugDevice(device);
}

std::string HidrawBus::plugDevice(const NodeDevice& device)
{
    if (!d->ok || device.device == nullptr)
        return std::string();
    auto instance = std::make_shared<Instance>();
    instance->bus = d.get();
    instance->device = device;
    std::string node;
    d->call([&] {
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            if (device.node.empty()) {
                for (int n = 0;; ++n) {
                    instance->device.node = kNodePrefix + std::to_string(n);
                    if (!d->nodeTakenLocked(instance->device.node))
                        break;
                }
            } else if (!isNodePath(device.node) || d->nodeTakenLocked(device.node)) {
                return;
            }
            for (const auto& r : d->returning) {
                if (r.second.device == device.device)
                    return;
            }
            for (const std::shared_ptr<Instance>& i : d->plugged) {
                if (i->device.device == device.device)
                    return;
            }
        }
        node = d->plugInstance(instance);
    });
    return node;
}

bool HidrawBus::unplug(const std::string& node)
{
    bool found = false;
    d->call([&] {
        std::shared_ptr<Instance> instance;
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            auto it = d->returning.find(node);
            if (it != d->returning.end()) {
                g_source_destroy(it->second.timer);
                g_source_unref(it->second.timer);
                d->returning.erase(it);
                found = true;
                d->changed.notify_all();
            }
            instance = d->findLocked(node);
        }
        if (instance != nullptr) {
            d->unplugInstance(instance, "unplugged");
            found = true;
        }
    });
    return found;
}

std::vector<NodeDevice> HidrawBus::devices() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    std::vector<NodeDevice> result;
    for (const std::shared_ptr<Instance>& instance : d->plugged)
        result.push_back(instance->device);
    return result;
}

std::shared_ptr<OrviSim::OrviEmulator> HidrawBus::device(const std::string& node) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    std::shared_ptr<Instance> instance = d->findLocked(node);
    return instance == nullptr ? nullptr : instance->device.device;
}

bool HidrawBus::waitForPlugged(const std::string& node, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->mutex);
    return d->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return d->findLocked(node) != nullptr; });
}

bool HidrawBus::waitForUnplugged(const std::string& node, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->mutex);
    return d->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return d->findLocked(node) == nullptr; });
}

bool HidrawBus::restartPending() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return !d->returning.empty();
}

Statistics HidrawBus::statistics() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->statistics;
}

} // namespace HidrawEmu
