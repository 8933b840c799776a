/*
 * orvi-device-emulator: starts emulated Orvi and Orvi+ devices as /dev/hidraw nodes, runs a
 * command that sees them through the real hidapi, logs every report and what the devices
 * installed, and ends with the command's exit status.
 */
#include "device_setup.h"
#include "hidraw_bus.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

const char kUsage[] =
    "Usage: orvi-device-emulator [OPTION]... [--] COMMAND [ARGUMENT]...\n"
    "Plugs emulated Orvi and Orvi+ devices in as /dev/hidraw nodes that hidapi finds, runs\n"
    "COMMAND among them and ends with its exit status.\n"
    "  --device TEXT    devices to plug, in the ORVI_SIM_DEVICES format: settings separated by\n"
    "                   ',', devices by ';' (default: model=plus). May be given again.\n"
    "                   Keys: model path serial mcu dsp styles ensemble aux ready reboot-ms\n"
    "                   reboot-path pacing-us header-fault ready-fault reply-delay-ms\n"
    "                   fail-write unplug-at refuse-open plugged\n"
    "  --log FILE       log to FILE instead of standard error\n"
    "  --quiet          no log line per report\n"
    "  --stats FILE     at the end, write the totals to FILE as \"name: value\" lines\n"
    "  --control FIFO   make a named pipe that takes the lines \"unplug SERIAL\" and\n"
    "                   \"plug SERIAL\" while the command runs\n"
    "Example: orvi-device-emulator --device model=plus,serial=OP1,mcu=0x0311,pacing-us=1000 \\\n"
    "             -- orvi-updater\n";

class Log {
public:
    explicit Log(FILE* file) : m_file(file)
    {
        clock_gettime(CLOCK_MONOTONIC, &m_start);
    }

    void line(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double seconds = double(now.tv_sec - m_start.tv_sec) + double(now.tv_nsec - m_start.tv_nsec) / 1e9;
        std::lock_guard<std::mutex> lock(m_mutex);
        std::fprintf(m_file, "[%9.3f] ", seconds);
        va_list arguments;
        va_start(arguments, format);
        std::vfprintf(m_file, format, arguments);
        va_end(arguments);
        std::fputc('\n', m_file);
        std::fflush(m_file);
    }

private:
    FILE* m_file;
    std::mutex m_mutex;
    struct timespec m_start;
};

struct Options {
    std::vector<OrviSim::DeviceSetup> devices;
    std::string logPath;
    std::string controlPath;
    std::string statsPath;
    bool quiet = false;
    std::vector<char*> command;
};

int usageError(const char* message)
{
    std::fprintf(stderr, "orvi-device-emulator: %s\n%s", message, kUsage);
    return 2;
}

/* Returns 0, or the exit status for a bad command line. */
int parseOptions(int argc, char** argv, Options* options)
{
    int i = 1;
    for (; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (option == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (option == "--quiet") {
            options->quiet = true;
            continue;
        }
        if (option.compare(0, 2, "--") != 0)
            break;
        if (i + 1 >= argc)
            return usageError(("missing value of " + option).c_str());
        const std::string value = argv[++i];
        std::string error;
        if (option == "--device") {
            if (!OrviSim::parseDeviceSetups(value, &options->devices, &error))
                return usageError(("--device: " + error).c_str());
        } else if (option == "--log") {
            options->logPath = value;
        } else if (option == "--control") {
            options->controlPath = value;
        } else if (option == "--stats") {
            options->statsPath = value;
        } else {
            return usageError(("unknown option " + option).c_str());
        }
    }
    if (i >= argc)
        return usageError("no command to run");
    options->command.assign(argv + i, argv + argc);
    options->command.push_back(nullptr);
    if (options->devices.empty())
        OrviSim::parseDeviceSetups("model=plus", &options->devices);
    return 0;
}

/* The devices need umockdev's preload in this process too: start again under its wrapper. */
void runUnderPreload(char** argv)
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr)
        return;
    if (std::getenv("ORVI_EMULATOR_WRAPPED") != nullptr) {
        std::fprintf(stderr, "orvi-device-emulator: umockdev's preload library did not load\n");
        std::exit(2);
    }
    setenv("ORVI_EMULATOR_WRAPPED", "1", 1);
    std::vector<char*> wrapped{const_cast<char*>("umockdev-wrapper")};
    for (char** a = argv; *a != nullptr; ++a)
        wrapped.push_back(*a);
    wrapped.push_back(nullptr);
    execvp(wrapped[0], wrapped.data());
    std::fprintf(stderr, "orvi-device-emulator: cannot run umockdev-wrapper (Debian package umockdev): %s\n",
                 std::strerror(errno));
    std::exit(2);
}

const char* modelName(uint16_t productId)
{
    return productId == OrviSim::kProductOrvi ? "Orvi" : productId == OrviSim::kProductOrviPlus ? "Orvi+" : "other";
}

void logEvent(Log& log, bool quiet, const HidrawEmu::BusEvent& event)
{
    const char* serial = event.serialNumber.c_str();
    switch (event.kind) {
    case HidrawEmu::BusEvent::Plugged:
        log.line("%s plugged in at %s (%s)", serial, event.node.c_str(), event.text.c_str());
        break;
    case HidrawEmu::BusEvent::Unplugged:
        log.line("%s gone from %s: %s", serial, event.node.c_str(), event.text.c_str());
        break;
    case HidrawEmu::BusEvent::Report:
        if (quiet && event.outcome == OrviSim::WriteOutcome::Accepted)
            break;
        log.line("%s report %d: %s%s", serial, event.reportNumber, event.text.c_str(),
                 event.outcome == OrviSim::WriteOutcome::Failed        ? " - write failed"
                     : event.outcome == OrviSim::WriteOutcome::Unplugged ? " - write failed, device unplugged"
                                                                       : "");
        break;
    case HidrawEmu::BusEvent::Violation:
        log.line("%s broken rule at report %d: %s", serial, event.reportNumber, event.text.c_str());
        break;
    case HidrawEmu::BusEvent::Installed: {
        const OrviSim::Transfer& t = *event.transfer;
        const std::size_t size = t.image().size();
        if (t.tag)
            log.line("%s installed %s version 0x%04X, %zu bytes, reports %d to %d", serial, event.text.c_str(),
                     unsigned(t.tag->version), size, t.firstReport, t.lastReport);
        else
            log.line("%s installed %s without a builder tag, %zu bytes, reports %d to %d", serial,
                     event.text.c_str(), size, t.firstReport, t.lastReport);
        break;
    }
    }
}

/* One line from the control pipe: "unplug SERIAL" or "plug SERIAL". */
void controlCommand(const std::string& line, HidrawEmu::HidrawBus& bus, std::vector<HidrawEmu::NodeDevice>& known,
                    Log& log)
{
    const std::size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string serial = space == std::string::npos ? std::string() : line.substr(space + 1);
    for (HidrawEmu::NodeDevice& device : known) {
        if (device.serialNumber != serial)
            continue;
        if (verb == "unplug") {
            for (const HidrawEmu::NodeDevice& now : bus.devices()) {
                if (now.device == device.device) {
                    device.node = now.node;
                    bus.unplug(now.node);
                    return;
                }
            }
        } else if (verb == "plug") {
            /* Back at its last node, or at a free one when that is taken. */
            HidrawEmu::NodeDevice elsewhere = device;
            elsewhere.node.clear();
            if (!bus.plugDevice(device).empty() || !bus.plugDevice(elsewhere).empty())
                return;
        }
        break;
    }
    log.line("control: cannot do \"%s\"", line.c_str());
}

void summary(Log& log, const std::vector<HidrawEmu::NodeDevice>& known, const HidrawEmu::Statistics& s)
{
    for (const HidrawEmu::NodeDevice& device : known) {
        const OrviSim::OrviEmulator& e = *device.device;
        std::string installed;
        for (const OrviSim::Transfer& t : e.transfers()) {
            if (!t.installed)
                continue;
            char text[64];
            std::snprintf(text, sizeof text, "%s%s 0x%04X", installed.empty() ? "" : ", ",
                          OrviSim::componentName(t.component), t.tag ? unsigned(t.tag->version) : 0u);
            installed += text;
        }
        log.line("summary: %s (%s): %d reports, %zu broken rules, installed: %s", device.serialNumber.c_str(),
                 modelName(device.productId), e.reportCount(), e.violations().size(),
                 installed.empty() ? "nothing" : installed.c_str());
    }
    log.line("summary: %ld reports, %ld replies, %ld restarts; device time %.3f s (frames %.3f s, "
             "restarts %.3f s); writes waited %.3f s for their frames",
             s.reports, s.replies, s.restarts, double(s.pacedUs) / 1e6 + double(s.restartGoneMs) / 1e3,
             double(s.pacedUs) / 1e6, double(s.restartGoneMs) / 1e3, double(s.waitedUs) / 1e6);
}

/* The totals for a benchmark: what the devices took of the time is not the host's. */
bool writeStatistics(const std::string& path, const HidrawEmu::Statistics& s)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    std::fprintf(file, "reports: %ld\nreplies: %ld\nrestarts: %ld\npaced_us: %lld\nwaited_us: %lld\nrestart_gone_ms: %lld\n",
                 s.reports, s.replies, s.restarts, (long long)s.pacedUs, (long long)s.waitedUs,
                 (long long)s.restartGoneMs);
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (int status = parseOptions(argc, argv, &options))
        return status;
    runUnderPreload(argv);
    unsetenv("ORVI_EMULATOR_WRAPPED");

    FILE* logFile = stderr;
    if (!options.logPath.empty() && (logFile = std::fopen(options.logPath.c_str(), "w")) == nullptr) {
        std::fprintf(stderr, "orvi-device-emulator: cannot write %s: %s\n", options.logPath.c_str(),
                     std::strerror(errno));
        return 2;
    }
    Log log(logFile);

    /* Signals arrive through a descriptor; every thread started from here inherits the mask. */
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    HidrawEmu::HidrawBus bus;
    if (!bus.ok()) {
        std::fprintf(stderr, "orvi-device-emulator: umockdev's test bed is not in effect\n");
        return 2;
    }
    const bool quiet = options.quiet;
    bus.setEventHandler([&log, quiet](const HidrawEmu::BusEvent& event) { logEvent(log, quiet, event); });
    std::vector<HidrawEmu::NodeDevice> known;
    for (const OrviSim::DeviceSetup& setup : options.devices) {
        HidrawEmu::NodeDevice device;
        device.node = setup.path;
        device.serialNumber = setup.serialNumber;
        device.productId = setup.productId;
        device.device = setup.makeEmulator();
        device.device->setFrameLogEnabled(false);
        if (!setup.plugged) {
            known.push_back(device); /* for the control pipe's "plug" */
            continue;
        }
        device.node = bus.plugDevice(device);
        if (device.node.empty()) {
            std::fprintf(stderr, "orvi-device-emulator: cannot plug %s in at %s\n", setup.serialNumber.c_str(),
                         setup.path.empty() ? "a free node" : setup.path.c_str());
            return 2;
        }
        known.push_back(device);
    }

    int controlFd = -1;
    if (!options.controlPath.empty()) {
        unlink(options.controlPath.c_str());
        if (mkfifo(options.controlPath.c_str(), 0600) != 0) {
            std::fprintf(stderr, "orvi-device-emulator: cannot make %s: %s\n", options.controlPath.c_str(),
                         std::strerror(errno));
            return 2;
        }
        /* Opened for writing too, so that the pipe never reports its end between writers. */
        controlFd = open(options.controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, options.command[0], nullptr, &attributes, options.command.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        std::fprintf(stderr, "orvi-device-emulator: cannot run %s: %s\n", options.command[0], std::strerror(spawned));
        return 127;
    }
    log.line("running %s (process %d) with test bed %s", options.command[0], int(child), bus.rootDir().c_str());

    int status = 0;
    std::string pending;
    for (bool running = true; running;) {
        struct pollfd fds[2] = {{signalFd, POLLIN, 0}, {controlFd, POLLIN, 0}};
        if (poll(fds, controlFd >= 0 ? 2 : 1, -1) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            struct signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == sizeof info && info.ssi_signo != SIGCHLD)
                ::kill(child, int(info.ssi_signo));
            if (waitpid(child, &status, WNOHANG) == child)
                running = false;
        }
        char buffer[256];
        ssize_t n;
        while (controlFd >= 0 && (n = read(controlFd, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, std::size_t(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                controlCommand(pending.substr(0, end), bus, known, log);
        }
    }
    if (controlFd >= 0) {
        close(controlFd);
        unlink(options.controlPath.c_str());
    }
    summary(log, known, bus.statistics());
    if (!options.statsPath.empty() && !writeStatistics(options.statsPath, bus.statistics()))
        log.line("cannot write %s", options.statsPath.c_str());
    const int result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    log.line("%s ended with status %d", options.command[0], result);
    return result;
}
