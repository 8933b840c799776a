/*
 * A whole Orvi+ update through the real main window (offscreen) against an emulated device and
 * a local update server. Built twice: over the simulated HID bus, and with the real hidapi over
 * emulated hidraw nodes (run under umockdev-wrapper).
 *
 *   update_bench overhead   MCU, DSP, styles and ensemble with the device pacing one report per
 *                           1 ms frame, writing each content sector in the real 2.1 s and
 *                           restarting in a fixed time; wall time beside the device's own time.
 *   update_bench cli-overhead   the same update through the command line's --update, over the
 *                           simulated bus.
 *   update_bench stall      one large ensemble with pacing and sector waits off; the longest gap
 *                           between ticks of a 1 ms timer in the window's thread while the
 *                           transfer floods it, beside the same for the idle window, and the
 *                           process's peak memory meanwhile.
 *   update_bench protocol-flood   the same transfer through the protocol functions alone: the
 *                           memory the device model and the protocol take, the baseline.
 *
 * Results go to standard output as "name: value" lines; the program's own console output,
 * which it writes as it runs, goes to /dev/null.
 *
 * The device's own time of an update is the sum of:
 *  - frames: one per report, as the bus paced them;
 *  - sector waits: the flash write time after each content sector, which the protocol waits
 *    out on the host (set here through its test hook to the real value, and counted as such);
 *  - restarts: from the return of the write that installed a component to the start of the
 *    first device poll that finds the device back. This holds the device's time away and the
 *    device monitor's once-a-second poll noticing it leave and come back; the poll period is
 *    the product's model of the bus, not work. Starting at the poll's start leaves the
 *    enumeration itself to the host.
 * Readiness answers at once (the query is one more frame). Everything else in the wall time,
 * from the click on "Start Update" to the end of the last component, is the host's: these
 * intervals tile the wall time. Host time just before a restart is partly hidden by the poll
 * period, as it is for a user; it still counts as the host's, and the restart as shorter.
 * On a machine shared with other work the host's share also holds waits for a processor,
 * hence the process's own processor time beside it.
 */
#include "cli/command_line_updater.h"
#include "device/orvi_device.h"
#include "gui/application_setup.h"
#include "gui/main_window_updater.h"

#include "window_test_support.h"

#ifdef ORVI_BENCH_HIDRAW
#include "hidraw_bus.h"
#endif

#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const long kSectorWaitNs = 2100000000L; // what the device takes to write a sector to flash
const int kRestartMs = 1500;

double secondsOf(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Processor time of the whole process so far: the window, the device threads and the emulator.
double processCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Restarts as the host's hidapi calls see them: see the comment at the top.
class RestartWatch
{
public:
    void watch(std::shared_ptr<OrviSim::OrviEmulator> device)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_device = std::move(device);
        m_installsSeen = m_device->installCount();
    }
    void started(Clock::time_point at)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reference = at;
    }
    void wrote(Clock::time_point began)
    {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == Present && m_reference != Clock::time_point()) {
            m_beforeWrites += began - m_reference;
            m_firstWrite = began;
            m_reference = Clock::time_point();
        }
        m_lastWrite = now;
    }
    void polled(Clock::time_point started, bool present)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_device)
            return;
        // After the install no write follows until the device is back.
        if (m_state == Present && m_device->installCount() > m_installsSeen) {
            m_installsSeen = m_device->installCount();
            m_leftAt = m_lastWrite;
            m_writing += m_lastWrite - m_firstWrite;
            m_state = Leaving;
        }
        if (m_state == Leaving && !present) {
            m_state = Gone;
        } else if (m_state == Gone && present) {
            m_total += started - m_leftAt;
            m_reference = started;
            ++m_restarts;
            m_state = Present;
        }
    }
    Clock::duration total() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_total;
    }
    // Time from the click or the poll that found the device back to the component's first
    // write, and from there to its install.
    Clock::duration beforeWrites() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_beforeWrites;
    }
    Clock::duration writing() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_writing;
    }
    int restarts() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_restarts;
    }

private:
    enum State { Present, Leaving, Gone };
    mutable std::mutex m_mutex;
    std::shared_ptr<OrviSim::OrviEmulator> m_device;
    int m_installsSeen = 0;
    State m_state = Present;
    Clock::time_point m_lastWrite;
    Clock::time_point m_leftAt;
    Clock::time_point m_reference;
    Clock::time_point m_firstWrite;
    Clock::duration m_beforeWrites{};
    Clock::duration m_writing{};
    Clock::duration m_total{};
    int m_restarts = 0;
};

RestartWatch restartWatch;

} // namespace

// The product's calls of these two reach the bus through here (linked with --wrap).
extern "C" {
hid_device_info *__real_hid_enumerate(unsigned short vendorId, unsigned short productId);
int __real_hid_write(hid_device *device, const unsigned char *data, size_t length);

hid_device_info *__wrap_hid_enumerate(unsigned short vendorId, unsigned short productId)
{
    const Clock::time_point started = Clock::now();
    hid_device_info *devices = __real_hid_enumerate(vendorId, productId);
    bool present = false;
    for (const hid_device_info *device = devices; device != nullptr; device = device->next)
        present = present || device->vendor_id == ORVI_VENDOR_ID;
    restartWatch.polled(started, present);
    return devices;
}

int __wrap_hid_write(hid_device *device, const unsigned char *data, size_t length)
{
    const Clock::time_point began = Clock::now();
    const int result = __real_hid_write(device, data, length);
    restartWatch.wrote(began);
    return result;
}
}

namespace {

// The one emulated device, on whichever transport this binary was built for.
class Bus
{
public:
    bool plug(const std::string &setupText)
    {
#ifdef ORVI_BENCH_HIDRAW
        std::vector<OrviSim::DeviceSetup> setups;
        if (!m_bus.ok() || !OrviSim::parseDeviceSetups(setupText, &setups) || setups.size() != 1)
            return false;
        const std::string node = m_bus.plug(setups[0]);
        m_device = node.empty() ? nullptr : m_bus.device(node);
#else
        if (!HidSim::configureFromText(setupText))
            return false;
        m_device = HidSim::device("sim-1");
#endif
        return m_device != nullptr;
    }
    std::shared_ptr<OrviSim::OrviEmulator> device() const { return m_device; }
    long long pacedUs() const
    {
#ifdef ORVI_BENCH_HIDRAW
        return m_bus.statistics().pacedUs;
#else
        return HidSim::callCounts().pacedUs;
#endif
    }

private:
#ifdef ORVI_BENCH_HIDRAW
    HidrawEmu::HidrawBus m_bus;
#endif
    std::shared_ptr<OrviSim::OrviEmulator> m_device;
};

// Keeps the figures on the real standard output while the program's console goes nowhere.
class Console
{
public:
    Console()
    {
        std::fflush(stdout);
        m_results = fdopen(dup(1), "w");
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        close(devNull);
    }
    ~Console() { std::fclose(m_results); }
    void print(const char *name, double value) { std::fprintf(m_results, "%s: %.4f\n", name, value); }
    void fail(const char *what)
    {
        std::fprintf(stderr, "update bench: %s\n", what);
        std::exit(1);
    }

private:
    FILE *m_results;
};

QString setupText(int pacingUs, int restartMs)
{
    return QStringLiteral("model=plus,serial=B1,mcu=0x0310,dsp=0x0310,styles=1,ensemble=1,ready=now,"
                          "reboot-ms=%1,pacing-us=%2")
            .arg(restartMs)
            .arg(pacingUs);
}

// A device with older versions than the site offers and, unless the command line is to update
// it, the window showing the planned update.
struct Scenario
{
    Scenario(Console &console, const QVector<ServedComponent> &served, int pacingUs, long sectorWaitNs,
             bool window = true)
    {
        if (!site.started())
            console.fail("the update server did not start");
        manifest = site.publish("ORVI+", served);
        orviSetSectorWaitForTesting(sectorWaitNs);
        if (!bus.plug(setupText(pacingUs, kRestartMs).toStdString()))
            console.fail("cannot plug the device");
        bus.device()->setFrameLogEnabled(false);
        if (!window)
            return;
        test = windowOnDevicePage(manifest);
        const WindowView &view = test->view;
        QTest::mouseClick(view.checkButton(), Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return view.planLines().size() == served.size() && view.startButton()->isEnabled(); },
                             20000))
            console.fail("no update planned");
    }
    const OrviSim::OrviEmulator &device() const { return *bus.device(); }

    UpdateSite site;
    QUrl manifest;
    Bus bus;
    PopUpLog popUps;
    std::unique_ptr<WindowUnderTest> test;
};

// Runs the event loop as the program does until sender emits signal; false on time-out.
// (QTest's waits sleep 10 ms between rounds of events, which would count as the host's.)
template<typename Sender, typename Signal>
bool runUntil(const Sender *sender, Signal signal, int timeoutMs)
{
    QEventLoop loop;
    bool came = false;
    QObject::connect(sender, signal, &loop, [&] {
        came = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return came;
}

int contentSectors(const OrviSim::OrviEmulator &device)
{
    int sectors = 0;
    for (const OrviSim::Transfer &transfer : device.transfers())
        if (transfer.component == OrviSim::Component::Styles || transfer.component == OrviSim::Component::Ensemble)
            sectors += transfer.sectorsComplete;
    return sectors;
}

// A whole Orvi+ update through the window, or through the command line's --update, from its
// start (the button, or the command's first component) to its end.
int measureOverhead(Console &console, bool commandLine)
{
    const QVector<ServedComponent> served{
            {OrviSim::Component::Mcu, 0x0312, 48 * 1024, QStringLiteral("3.1.2")},
            {OrviSim::Component::Dsp, 0x0312, 16 * 1024, QStringLiteral("3.1.2")},
            {OrviSim::Component::Styles, 2, 100000, QStringLiteral("2")}, // two sectors
            {OrviSim::Component::Ensemble, 2, 60000, QStringLiteral("0x2")}, // one sector
    };
    Scenario scenario(console, served, 1000, kSectorWaitNs, !commandLine);
    const Bus &bus = scenario.bus;
    restartWatch.watch(bus.device());
    QTemporaryDir home;
    QLockFile lock(home.filePath(QStringLiteral("lock")));
    std::unique_ptr<OrviPlus::CommandLineUpdater> updater;
    const OrviPlus::UpdateEngine *engine = nullptr;
    if (commandLine) {
        OrviPlus::CommandLine command;
        command.command = OrviPlus::CommandLine::Update;
        command.manifestUrl = scenario.manifest;
        command.yes = true;
        updater = std::make_unique<OrviPlus::CommandLineUpdater>(
                command, OrviPlus::CommandLineUpdater::Console{std::fopen("/dev/null", "w"), false, false}, &lock);
        engine = updater->findChild<OrviPlus::UpdateEngine *>();
    } else {
        engine = scenario.test->window.findChild<OrviPlus::UpdateEngine *>();
    }

    long long pacedBefore = 0;
    int sectorsBefore = 0;
    double cpuBefore = 0;
    Clock::time_point started, finishedAt;
    const auto start = [&] {
        pacedBefore = bus.pacedUs();
        sectorsBefore = contentSectors(scenario.device());
        cpuBefore = processCpuSeconds();
        started = Clock::now();
        restartWatch.started(started);
    };
    QObject::connect(engine, &OrviPlus::UpdateEngine::updateFinished, [&] { finishedAt = Clock::now(); });
    if (commandLine) {
        QObject::connect(engine, &OrviPlus::UpdateEngine::componentStarted, [&] {
            if (started == Clock::time_point())
                start();
        });
        updater->start();
    } else {
        start();
        QTest::mouseClick(scenario.test->view.startButton(), Qt::LeftButton);
    }
    if (!runUntil(engine, &OrviPlus::UpdateEngine::updateFinished, 180000))
        console.fail("the update did not finish");

    const OrviSim::OrviEmulator &device = scenario.device();
    if (device.installCount() != served.size() || !device.violations().empty() || !scenario.popUps.take().isEmpty())
        console.fail("the update went wrong");
    const double cpu = processCpuSeconds() - cpuBefore;
    const double wall = secondsOf(finishedAt - started);
    const double frames = double(bus.pacedUs() - pacedBefore) / 1e6;
    const double sectorWaits = (contentSectors(device) - sectorsBefore) * double(kSectorWaitNs) / 1e9;
    const double restarts = secondsOf(restartWatch.total());
    const double deviceTime = frames + sectorWaits + restarts;
    if (restartWatch.restarts() != served.size())
        console.fail("a restart was missed");
    console.print("wall_s", wall);
    console.print("device_s", deviceTime);
    console.print("frames_s", frames);
    console.print("sector_wait_s", sectorWaits);
    console.print("restarts_s", restarts);
    console.print("restart_poll_wait_s", restarts - restartWatch.restarts() * kRestartMs / 1000.0);
    console.print("before_writes_s", secondsOf(restartWatch.beforeWrites()));
    console.print("writing_s", secondsOf(restartWatch.writing()));
    console.print("overhead_ratio", wall / deviceTime - 1);
    // What the host's share of the wall time is made of on a busy machine: its own work is
    // at most this, the rest is waiting for a processor.
    console.print("process_cpu_s", cpu);
    return 0;
}

double threadCpuNs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e9 + now.tv_nsec;
}

// Largest gap between ticks of a 1 ms timer in this thread while recording: in wall time, and
// in this thread's own processor time within a gap. On a busy machine the thread also waits
// for a processor; the second figure is the window's own work alone.
class TickGaps
{
public:
    TickGaps()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_clock.start();
        m_timer.start(1);
    }
    void record()
    {
        m_last = m_clock.nsecsElapsed();
        m_lastCpu = threadCpuNs();
        m_largest = m_largestCpu = 0;
        m_recording = true;
    }
    // Ends recording, counting the gap still open.
    void stop()
    {
        tick();
        m_recording = false;
    }
    double largestMs() const { return m_largest / 1e6; }
    double largestBusyMs() const { return m_largestCpu / 1e6; }

private:
    void tick()
    {
        const qint64 now = m_clock.nsecsElapsed();
        const double cpu = threadCpuNs();
        if (m_recording) {
            m_largest = std::max(m_largest, now - m_last);
            m_largestCpu = std::max(m_largestCpu, cpu - m_lastCpu);
        }
        m_last = now;
        m_lastCpu = cpu;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_largest = 0;
    double m_lastCpu = 0;
    double m_largestCpu = 0;
    bool m_recording = false;
};

double statusMib(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toDouble() / 1024;
    return -1;
}

// From here on VmHWM is the peak since now.
void resetPeakMemory()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (!refs.open(QIODevice::WriteOnly) || refs.write("5") != 1)
        qFatal("cannot reset the peak memory count");
}

// A large ensemble makes the longest flood of packets; the device holds all of it.
const int kFloodSectors = 160;

int measureStall(Console &console)
{
    const QVector<ServedComponent> served{
            {OrviSim::Component::Ensemble, 2, std::size_t(kFloodSectors) * 65536, QStringLiteral("0x2")}};
    Scenario scenario(console, served, 0, 0);
    WindowUnderTest *test = scenario.test.get();
    const auto *engine = test->window.findChild<OrviPlus::UpdateEngine *>();

    TickGaps gaps;
    bool transferring = false;
    bool done = false;
    double startMib = 0;
    double peakMib = 0;
    QElapsedTimer transfer;
    QObject::connect(engine, &OrviPlus::UpdateEngine::deviceReadyForUpdate, [&] {
        transferring = true;
        transfer.start();
        startMib = statusMib("VmRSS:");
        resetPeakMemory();
        gaps.record();
    });
    QObject::connect(engine, &OrviPlus::UpdateEngine::componentInstalled, [&] {
        if (!transferring)
            return;
        gaps.stop();
        peakMib = statusMib("VmHWM:");
        transferring = false;
        done = true;
    });

    // The idle window, as the baseline of the stall.
    gaps.record();
    QEventLoop idle;
    QTimer::singleShot(1000, &idle, &QEventLoop::quit);
    idle.exec();
    gaps.stop();
    const double idleStallMs = gaps.largestMs();
    const double idleBusyMs = gaps.largestBusyMs();

    QTest::mouseClick(test->view.startButton(), Qt::LeftButton);
    if (!runUntil(engine, &OrviPlus::UpdateEngine::componentInstalled, 120000) || !done)
        console.fail("the transfer did not finish");
    const double transferSeconds = transfer.nsecsElapsed() / 1e9;
    const int reports = scenario.device().reportCount();
    if (!QTest::qWaitFor([&] { return test->view.page() == 1; }, 30000) || scenario.device().installCount() != 1
        || !scenario.popUps.take().isEmpty())
        console.fail("the update went wrong");

    console.print("transfer_s", transferSeconds);
    console.print("reports", reports);
    console.print("idle_gui_stall_ms", idleStallMs);
    console.print("max_gui_stall_ms", gaps.largestMs());
    console.print("idle_gui_busy_ms", idleBusyMs);
    console.print("max_gui_busy_ms", gaps.largestBusyMs());
    console.print("peak_rss_mib", peakMib);
    console.print("rss_growth_mib", peakMib - startMib);
    return 0;
}

// The same flood through the protocol functions alone, without the window: what the device
// model and the protocol add to the process's memory, the baseline of the window's figure.
int measureProtocolFlood(Console &console)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("ensemble.bin"));
    if (!OrviSim::writeImageFile(localPath(path), OrviSim::Component::Ensemble, 2, std::size_t(kFloodSectors) * 65536))
        console.fail("cannot write the image");
    orviSetSectorWaitForTesting(0);
    Bus bus;
    if (!bus.plug(setupText(0, kRestartMs).toStdString()))
        console.fail("cannot plug the device");
    bus.device()->setFrameLogEnabled(false);
    hid_device_info *devices = hid_enumerate(ORVI_VENDOR_ID, 0);
    const std::string node = devices != nullptr ? devices->path : "";
    hid_free_enumeration(devices);
    unsigned int error = 0;
    OrviDevice *device = orviOpen(node.c_str(), ORVI_MODEL_PLUS, 2000, &error);
    if (device == nullptr)
        console.fail("cannot open the device");
    const double startMib = statusMib("VmRSS:");
    resetPeakMemory();
    const int result = orviSendEnsemble(device, localPath(path).c_str(), nullptr);
    const double peakMib = statusMib("VmHWM:");
    orviClose(device);
    if (result != ORVI_OK || bus.device()->installCount() != 1)
        console.fail("the transfer went wrong");
    console.print("rss_growth_mib", peakMib - startMib);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QString mode = argc == 2 ? QString::fromLatin1(argv[1]) : QString();
    if (!QStringList{"overhead", "cli-overhead", "stall", "protocol-flood"}.contains(mode)) {
        std::fprintf(stderr, "usage: %s overhead|cli-overhead|stall|protocol-flood\n", argv[0]);
        return 2;
    }
    OrviPlus::registerMetaTypes();
    qInstallMessageHandler(OrviPlus::writeMessageToConsole);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Console console;
    if (mode.endsWith(QLatin1String("overhead")))
        return measureOverhead(console, mode == QLatin1String("cli-overhead"));
    return mode == QLatin1String("stall") ? measureStall(console) : measureProtocolFlood(console);
}
