/* Reply faults of the real hidapi (hidraw back end) over emulated /dev/hidraw nodes, as the protocol's codes.
 * Runs under umockdev-wrapper. */
#include "device_test_support.h"
#include "hidraw_bus.h"

#include <QtTest>

#include <hidapi.h>

#include <atomic>
#include <thread>

class HidrawTransportTest : public QObject {
    Q_OBJECT

    std::unique_ptr<HidrawEmu::HidrawBus> m_bus;

private slots:
    void initTestCase()
    {
        m_bus.reset(new HidrawEmu::HidrawBus);
        if (!m_bus->ok())
            QFAIL("umockdev's preload is not in effect: run the test under umockdev-wrapper");
        QCOMPARE(hid_init(), 0);
    }

    void cleanupTestCase()
    {
        m_bus.reset();
        hid_exit();
    }

    void replyFaults()
    {
        /* Faults of the reply path reach the protocol as its codes: {device setup, open result, ready result} */
        const std::tuple<const char*, int, int> cases[] = {{"refuse-open=yes", ORVI_ERR_OPEN, 0},
                                                           {"header-fault=no-reply:1", ORVI_ERR_TIMEOUT, 0},
                                                           {"ready-fault=read-error:1", 0, ORVI_ERR_READ}};
        for (const auto& [setup, openResult, readyResult] : cases) {
            std::vector<OrviSim::DeviceSetup> setups;
            OrviSim::parseDeviceSetups(setup, &setups);
            const std::string node = m_bus->plug(setups.at(0));
            unsigned int error = 0;
            OrviDevice* handle = orviOpen(node.c_str(), 1, 200, &error);
            QCOMPARE(handle == nullptr ? int(error) : 0, openResult);
            if (handle == nullptr)
                continue;
            unsigned int ready = 0;
            QCOMPARE(orviCheckReadyForUpdate(handle, 200, &ready), readyResult);
            /* A spoiled reply is not left behind for the next request. */
            QCOMPARE(orviCheckReadyForUpdate(handle, 200, &ready), int(ORVI_OK));
            orviClose(handle);
        }
    }

    /* The monitor enumerates on its thread while an agent opens on another, its device and one
     * gone; hidapi's enumeration and open share one process-wide error text, which without the
     * protocol library's lock both free within a second. */
    void enumeratesWhileAnotherThreadOpens()
    {
        const std::string node = m_bus->plug(OrviSim::DeviceSetup());
        std::atomic<bool> done{false};
        std::thread monitor([&done] {
            while (!done) {
                orviFreeEnumeration(orviEnumerate());
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); /* lets the opener have the lock */
            }
        });
        int opened = 0;
        QElapsedTimer clock;
        clock.start();
        /* Mostly a path that is gone, whose failing opens are quick; the device every 100 ms. The
         * gone path is outside /dev: umockdev's preload keeps a little of each missing /dev path. */
        for (qint64 nextReal = 0; clock.elapsed() < 1500;) {
            unsigned int error = 0;
            const bool real = clock.elapsed() >= nextReal;
            OrviDevice* handle = orviOpen(real ? node.c_str() : "/nonexistent/hidraw0", ORVI_MODEL_PLUS, 200, &error);
            if (real)
                nextReal = clock.elapsed() + 100;
            opened += handle != nullptr;
            orviClose(handle);
        }
        done = true;
        monitor.join();
        QVERIFY(opened >= 5);
    }
};

QTEST_GUILESS_MAIN(HidrawTransportTest)
#include "hidraw_transport_test.moc"
