/*
 * How an emulated device is set up from text, the same for every transport (the simulated
 * bus reads it from ORVI_SIM_DEVICES, orvi-device-emulator from its options).
 *
 * Devices are separated by ';', their settings by ',', each setting is key=value; numbers
 * are decimal or 0x-hex:
 *   model=orvi|plus|0xPPPP   product (0x0042, 0x0043 or any product ID; default plus)
 *   path=TEXT                where the transport shows it (simulated bus: any text, default
 *                            "sim-N"; hidraw node: "/dev/hidrawN", default the next free one)
 *   serial=TEXT              serial number (default "SIM000N", N counting devices from 1)
 *   mcu=WORD dsp=WORD        firmware version words as the device sends them
 *   styles=N ensemble=N aux=N
 *   ready=now|never|N        readiness: at once, never, or after N not-ready answers
 *   reboot-ms=N              time the device is gone after an install (default 3000)
 *   reboot-path=TEXT         path it comes back at (default: the same)
 *   pacing-us=N              time each report write takes (default 0)
 *   plugged=yes|no           whether it is plugged in from the start (default yes); one that is
 *                            not comes when a test or the emulator's control pipe plugs it
 * Faults:
 *   header-fault=KIND[:TIMES]  KIND no-reply, read-error, bad-marker, bad-code or bad-count;
 *   ready-fault=KIND[:TIMES]   KIND no-reply, read-error, bad-code or bad-echo; TIMES is how
 *                              many replies it spoils (default: all)
 *   reply-delay-ms=N         replies become readable N ms after the request
 *   fail-write=N[:COUNT]     write N and the COUNT-1 after it fail (default COUNT 1)
 *   unplug-at=N              write N fails and the device is unplugged
 *   refuse-open=yes|denied|no  opening the device fails: yes as for a node that is gone,
 *                            denied as for one the user may not open (hidraw node: one only
 *                            its owner may open; both as plugged in)
 * Example: "model=plus,path=sim-1,mcu=0x0311,dsp=0x0111,styles=2,ensemble=5;model=orvi"
 * Devices set up this way reboot after every installed component and come back reporting
 * the versions in the builder tags of the images they installed.
 */
#ifndef ORVI_DEVICE_SETUP_H
#define ORVI_DEVICE_SETUP_H

#include "orvi_emulator.h"

#include <memory>
#include <string>
#include <vector>

namespace OrviSim {

constexpr uint16_t kVendorId = 0x7A3C;
constexpr uint16_t kProductOrvi = 0x0042;
constexpr uint16_t kProductOrviPlus = 0x0043;

struct DeviceSetup {
    uint16_t productId = kProductOrviPlus;
    std::string path;         /* empty: the transport's default */
    std::string serialNumber;
    HeaderWords words;
    Readiness readiness = Readiness::Immediate;
    int notReadyQueries = 0;
    RebootBehaviour reboot;
    int pacingUs = 0;
    ReplyFaultSetting headerFault;
    ReplyFaultSetting readyFault;
    int replyDelayMs = 0;
    int failWriteAt = 0;
    int failWriteCount = 1;
    int unplugAt = 0;
    int openError = 0;        /* errno of a refused open */
    bool plugged = true;

    /* A new emulator of the model the product ID gives, configured as described. */
    std::shared_ptr<OrviEmulator> makeEmulator() const;
};

/*
 * Reads the devices described by text. On an unknown key or a bad value it returns false,
 * names the setting in *error (when given) and leaves *setups untouched.
 */
bool parseDeviceSetups(const std::string& text, std::vector<DeviceSetup>* setups,
                       std::string* error = nullptr);

} // namespace OrviSim

#endif
