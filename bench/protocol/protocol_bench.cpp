/*
 * Host time per report of the protocol: an MCU image, a DSP image and content sectors sent
 * through the simulated HID bus with pacing off and the sector wait cut to nothing. The
 * protocol's console output goes to /dev/null while it is measured. A full-speed USB device
 * takes one report per 1 ms frame, so the share of that frame is what the host adds.
 */
#include "device/orvi_device.h"
#include "hid_sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRepetitions = 7;

struct Case {
    const char* name;
    const char* key;
    OrviSim::Component component;
    std::size_t imageSize;
    int (*send)(OrviDevice*, const char*, const OrviProgress*);
};

int countProgress(float, long, void* userData)
{
    ++*static_cast<long*>(userData);
    return 0;
}

/* Runs one transfer repeatedly; returns the best time per report in nanoseconds. */
double measure(OrviDevice* device, OrviSim::OrviEmulator& emulator, const Case& c, const std::string& file)
{
    double best = 1e18;
    for (int repetition = 0; repetition < kRepetitions; ++repetition) {
        emulator.clearLogs();
        long calls = 0;
        OrviProgress progress{countProgress, &calls};
        int reportsBefore = emulator.reportCount();
        auto started = std::chrono::steady_clock::now();
        int result = c.send(device, file.c_str(), &progress);
        auto elapsed = std::chrono::steady_clock::now() - started;
        int reports = emulator.reportCount() - reportsBefore;
        if (result != ORVI_OK || reports <= 0 || calls <= 0) {
            std::fprintf(stderr, "%s transfer failed with %d\n", c.name, result);
            std::exit(1);
        }
        double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / reports;
        best = std::min(best, ns);
    }
    return best;
}

} // namespace

int main()
{
    char folder[] = "/tmp/orvi-protocol-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const Case cases[] = {
        {"MCU image", "mcu", OrviSim::Component::Mcu, 1 << 20, orviSendMicroFW},
        {"DSP image", "dsp", OrviSim::Component::Dsp, 256 * 1024, orviSendDspFW},
        {"content sector", "sector", OrviSim::Component::Ensemble, 8 * 65536, orviSendEnsemble},
    };
    std::vector<std::string> files;
    for (const Case& c : cases) {
        files.push_back(std::string(folder) + "/" + c.key + ".img");
        if (!OrviSim::writeImageFile(files.back(), c.component, 0x0312, c.imageSize)) {
            std::fprintf(stderr, "cannot write %s\n", files.back().c_str());
            return 1;
        }
    }

    auto emulator = HidSim::plug(HidSim::kProductOrviPlus, "bench-1");
    emulator->setFrameLogEnabled(false);
    orviSetSectorWaitForTesting(0);
    unsigned int error = 0;
    OrviDevice* device = orviOpen("bench-1", 1, 1000, &error);
    if (device == nullptr) {
        std::fprintf(stderr, "open failed with %u\n", error);
        return 1;
    }

    std::fflush(stdout);
    int console = dup(1);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    close(devNull);
    std::vector<double> results;
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        results.push_back(measure(device, *emulator, cases[i], files[i]));
    std::fflush(stdout);
    dup2(console, 1);
    close(console);
    orviClose(device);
    for (const std::string& file : files)
        unlink(file.c_str());
    rmdir(folder);

    double worst = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        std::printf("%s: %.0f ns per report, %.0f reports per second, %.3f%% of a 1 ms USB frame\n",
                    cases[i].name, results[i], 1e9 / results[i], results[i] / 1e6 * 100);
        std::printf("protocol.%s_ns_per_report: %.0f\n", cases[i].key, results[i]);
        worst = std::max(worst, results[i]);
    }
    std::printf("protocol.ns_per_report: %.0f\n", worst);
    return 0;
}
