/*
 * Emulated devices as real /dev/hidraw nodes, for the real hidapi (hidraw back end) of an
 * unchanged program. A umockdev test bed holds the sysfs tree udev would show (USB device,
 * interface, HID device with its report descriptor, hidraw class device) and a node per device;
 * hidapi enumerates them with vendor, product and serial number, opens the node, writes 65-byte
 * reports and reads 64-byte replies, all answered by the device model.
 *
 * The process that owns the bus must run under umockdev's preload library (umockdev-wrapper);
 * programs it starts see the devices through the environment they inherit (LD_PRELOAD and
 * UMOCKDEV_DIR). Everything outside the test bed (other /dev nodes, files, the network) stays
 * the real one.
 *
 * Each node is a pseudo-terminal pair, so that poll() on the program's descriptor works; input
 * reports are queued on the bus and one byte per report ("doorbell") wakes the reader, whose
 * read() then takes exactly one report. Unplugging hangs the terminal up, so an open handle
 * sees the device vanish as with real hidraw (poll reports a hang-up, read fails, write fails
 * with ENODEV). A helper process in a session of its own holds each terminal as its controlling
 * terminal, so that a program which is a session leader without one (started by setsid or a
 * service manager) does not acquire it on open() and get SIGHUP at the unplug.
 *
 * A device with pacing takes one report per frame of that length, as a full-speed USB device
 * takes one per 1 ms frame: a write completes at the start of the next free frame. A program
 * faster than the frames therefore waits only for the device; one slower adds its own time.
 *
 * Reports are answered on umockdev's worker thread, plugging and restarts run on a thread of
 * the bus; every public function is thread-safe. Devices of one bus share the worker thread,
 * so a paced device delays the others while it waits for its frame.
 */
#ifndef ORVI_HIDRAW_BUS_H
#define ORVI_HIDRAW_BUS_H

#include "device_setup.h"
#include "orvi_emulator.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace HidrawEmu {

/* One device as the enumeration shows it. */
struct NodeDevice {
    std::string node;          /* "/dev/hidrawN" */
    std::string serialNumber;
    uint16_t vendorId = OrviSim::kVendorId;
    uint16_t productId = OrviSim::kProductOrviPlus;
    std::shared_ptr<OrviSim::OrviEmulator> device;
};

/* Something that happened on the bus, for a log. */
struct BusEvent {
    enum Kind {
        Plugged,    /* text: the sysfs path of the hidraw device */
        Unplugged,  /* text: "unplugged", "restarting" or "unplugged at a report" */
        Report,     /* text: the report decoded; reportNumber, outcome */
        Installed,  /* transfer: what was installed */
        Violation   /* text: the rule the report broke; reportNumber */
    };
    Kind kind = Plugged;
    std::string node;
    std::string serialNumber;
    std::string text;
    int reportNumber = 0;
    OrviSim::WriteOutcome outcome = OrviSim::WriteOutcome::Accepted;
    const OrviSim::Transfer* transfer = nullptr; /* valid during the call only */
};

/* Totals since the bus was made. */
struct Statistics {
    long reports = 0;        /* writes that reached a device, failed ones included */
    long replies = 0;        /* input reports read by the program */
    long restarts = 0;       /* restarts after an install */
    int64_t pacedUs = 0;     /* frames taken by paced reports: the device's own share of the time */
    int64_t waitedUs = 0;    /* time writes waited for their frame */
    int64_t restartGoneMs = 0; /* time devices were gone restarting */
};

class HidrawBus {
public:
    /* Sets up an empty test bed. ok() tells whether the process runs under the preload. */
    HidrawBus();
    /* Unplugs every device and removes the test bed. */
    ~HidrawBus();
    HidrawBus(const HidrawBus&) = delete;
    HidrawBus& operator=(const HidrawBus&) = delete;

    bool ok() const;
    std::string rootDir() const;

    /* Called for every event, on the bus's threads; it must not call back into the bus. */
    void setEventHandler(std::function<void(const BusEvent&)> handler);

    /*
     * Plugs a device described by setup (its path, when set, is the node, "/dev/hidrawN") with
     * a new emulator; returns the node, or "" when the node is taken or not a hidraw path.
     */
    std::string plug(const OrviSim::DeviceSetup& setup);
    /* Plugs an existing emulator (for example one unplugged before); "" as above, and when
       it is plugged in already or on its way back from a restart. */
    std::string plugDevice(const NodeDevice& device);

    /* Unplugs the device at node; open handles fail from now on. False if nothing was there. */
    bool unplug(const std::string& node);

    std::vector<NodeDevice> devices() const;
    std::shared_ptr<OrviSim::OrviEmulator> device(const std::string& node) const;

    /* Wait until a device is (no longer) at node; false on time-out. */
    bool waitForPlugged(const std::string& node, int timeoutMs) const;
    bool waitForUnplugged(const std::string& node, int timeoutMs) const;

    /* True while a device is gone for a restart and not yet back. */
    bool restartPending() const;

    Statistics statistics() const;

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace HidrawEmu

#endif
