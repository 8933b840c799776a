/*
 * A simulated HID bus. Library orvi_hidsim defines the hidapi C functions the product uses
 * (hid_init, hid_exit, hid_enumerate, hid_free_enumeration, hid_open_path, hid_write,
 * hid_read_timeout, hid_close) with the signatures of <hidapi.h>, over any number of emulated
 * devices. A test binary links it instead of hidapi; the product itself is unchanged.
 *
 * The functions below control the bus from a test. Everything is thread-safe: hid_* calls
 * may run in worker threads while the test thread plugs, unplugs and inspects devices.
 * As with the real hidapi, hid_init, hid_exit, hid_enumerate, hid_free_enumeration and
 * hid_open_path must not run in two threads at once: the bus aborts the program that does.
 * hid_read_timeout really waits (up to its time-out) for a reply, so time-outs are real.
 *
 * Setting up from the environment: at the first hid_init the bus reads ORVI_SIM_DEVICES and
 * plugs the devices it describes (nothing when it is unset or empty), in the format of
 * device_setup.h; a device without a path is at "sim-N", N counting the devices from 1.
 * Example: ORVI_SIM_DEVICES="model=plus,path=sim-1,mcu=0x0311,dsp=0x0111,styles=2,ensemble=5"
 * When ORVI_SIM_REPORT names a file, the program writes into it as it ends what those devices
 * received: "SERIAL reports N", and "SERIAL installed COMPONENT FINGERPRINT" for each component
 * installed (the fingerprint of orvi_image.h over the image as installed).
 */
#ifndef HID_SIM_H
#define HID_SIM_H

#include "device_setup.h"
#include "orvi_emulator.h"

#include <hidapi.h>

#include <memory>
#include <string>
#include <vector>

namespace HidSim {

constexpr uint16_t kVendorId = OrviSim::kVendorId;
constexpr uint16_t kProductOrvi = OrviSim::kProductOrvi;
constexpr uint16_t kProductOrviPlus = OrviSim::kProductOrviPlus;

/* One device on the bus, as the enumeration shows it. */
struct PluggedDevice {
    std::string path;
    std::wstring serialNumber;
    uint16_t vendorId = kVendorId;
    uint16_t productId = kProductOrviPlus;
    std::shared_ptr<OrviSim::OrviEmulator> device;
};

/* Bus-wide counts of hidapi calls since the last reset. */
struct CallCounts {
    int enumerations = 0;
    int opens = 0;        /* successful hid_open_path calls */
    int failedOpens = 0;
    int writes = 0;
    int reads = 0;
    int closes = 0;
    long long pacedUs = 0; /* frames taken by paced reports: the devices' own share of the time */
};

/* Unplugs every device, drops pending reboots and open handles' state, zeroes the counts. */
void reset();

/*
 * Plugs a new emulated device at the end of the enumeration order and returns it for
 * configuration. The model follows the product ID: 0x0042 is an Orvi, anything else an
 * Orvi+ model. A device already at that path is unplugged first.
 */
std::shared_ptr<OrviSim::OrviEmulator> plug(uint16_t productId, const std::string& path,
                                             const std::wstring& serialNumber = L"",
                                             uint16_t vendorId = kVendorId);

/* Plugs an existing emulator (for example one unplugged before) at the end of the order. */
void plugDevice(const PluggedDevice& device);

/* Unplugs the device at path: it leaves the enumeration, its open handles fail from now on
 * and a pending reboot of it is dropped. Returns false if nothing was plugged there. */
bool unplug(const std::string& path);

/* The emulator plugged at path, or null. */
std::shared_ptr<OrviSim::OrviEmulator> device(const std::string& path);

/* The plugged devices in enumeration order. */
std::vector<PluggedDevice> devices();

/* Paths of the plugged devices in enumeration order. */
std::vector<std::string> paths();

/* Waits until a device is plugged at path (for example back from a reboot); false on time-out. */
bool waitForPlugged(const std::string& path, int timeoutMs);

/* Waits until nothing is plugged at path; false on time-out. */
bool waitForUnplugged(const std::string& path, int timeoutMs);

/* True while a device is gone for a reboot and not yet back. */
bool rebootPending();

/* Handles opened with hid_open_path and not yet closed (a leak shows here). */
int openHandleCount();

CallCounts callCounts();

/*
 * Plugs the devices described by text in the ORVI_SIM_DEVICES format above, with rebooting
 * enabled. Returns false (plugging nothing) when the text has an unknown key or a bad value.
 */
bool configureFromText(const std::string& text);

} // namespace HidSim

#endif
