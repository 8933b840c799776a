// The commands as a script runs them: the program over the simulated bus and a local update
// site, its exit status, what it prints, and what the devices received as the program ended.
#include "update_site.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QtTest>

#include <functional>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

struct Run
{
    int status = -1;
    QByteArray out, err;
    QStringList report; // what the devices received
    bool ranOn = false; // after a first interruption
    QStringList values(const char *array, const char *key) const
    {
        QStringList found;
        for (const QJsonValue &entry : QJsonDocument::fromJson(out).object().value(QLatin1String(array)).toArray())
            found << entry.toObject().value(QLatin1String(key)).toString();
        return found;
    }
};

class CommandLineTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<UpdateSite> m_site;
    QTemporaryDir m_runtime;
    QTemporaryDir m_sharedTemp;
    QUrl m_manifest;

    // Runs the program; interrupted, it gets SIGINT once it installs, and again once it warned.
    // Every run shares one temporary folder open to all, as /tmp is; a second user has no
    // runtime folder of its own here.
    Run run(QStringList arguments, const QString &devices, bool interrupted = false, bool secondUser = false)
    {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("ORVI_SIM_DEVICES"), devices);
        environment.insert(QStringLiteral("ORVI_SIM_REPORT"), m_runtime.filePath(QStringLiteral("report")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        environment.insert(QStringLiteral("TMPDIR"), m_sharedTemp.path());
        arguments << "--manifest-url" << m_manifest.toString();
        if (secondUser) {
            environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
            arguments = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", ORVI_UPDATER_PATH} + arguments;
        }
        program.setProcessEnvironment(environment);
        program.start(secondUser ? QStringLiteral("setpriv") : QStringLiteral(ORVI_UPDATER_PATH), arguments);
        Run run;
        const auto waitFor = [&](QByteArray *text, QProcess::ProcessChannel channel, const char *wanted) {
            return QTest::qWaitFor([&] {
                program.setReadChannel(channel);
                *text += program.readAll();
                return text->contains(wanted) || program.state() == QProcess::NotRunning;
            }, 20000);
        };
        if (interrupted) {
            waitFor(&run.out, QProcess::StandardOutput, "MCU Firmware (1/4): installing");
            ::kill(pid_t(program.processId()), SIGINT);
            waitFor(&run.err, QProcess::StandardError, "the device may be left without working firmware; "
                                                       "press Ctrl-C again to stop");
            QTest::qWait(300);
            run.ranOn = program.state() == QProcess::Running;
            ::kill(pid_t(program.processId()), SIGINT);
        }
        if (program.waitForFinished(60000) && program.exitStatus() == QProcess::NormalExit)
            run.status = program.exitCode();
        run.out += program.readAllStandardOutput();
        run.err += program.readAllStandardError();
        QFile report(m_runtime.filePath(QStringLiteral("report")));
        if (report.open(QIODevice::ReadOnly))
            run.report = QString::fromLatin1(report.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        report.remove();
        return run;
    }

    QString installed(OrviSim::Component component) const
    {
        return QStringLiteral("A installed %1 %2")
                .arg(QLatin1String(OrviSim::componentName(component)))
                .arg(OrviSim::fingerprint(m_site->deviceBytes(component)), 16, 16, QLatin1Char('0'));
    }

private slots:
    void initTestCase()
    {
        m_site = std::make_unique<UpdateSite>();
        QVERIFY(m_site->started());
        QVERIFY(::chmod(QFile::encodeName(m_sharedTemp.path()).constData(), 01777) == 0);
        m_manifest = m_site->publish("ORVI+", {{OrviSim::Component::Mcu, 0x0312, 3000, "3.1.2"},
                                               {OrviSim::Component::Dsp, 0x0312, 500, "3.1.2"},
                                               {OrviSim::Component::Styles, 3, 40000, "0x0003"},
                                               {OrviSim::Component::Ensemble, 6, 30000, "0x00000006"}});
    }

    void commands()
    {
        const QString older = "model=plus,serial=A,mcu=0x0311,dsp=0x0311,styles=2,ensemble=5,reboot-ms=200";
        const QString twoDevices = older + ";model=orvi,serial=B";
        const auto allInstalled = [this](const Run &run) {
            return run.values("results", "result") == QStringList({"installed", "installed", "installed", "installed"})
                   && run.report.mid(1) == QStringList({installed(OrviSim::Component::Mcu),
                                                        installed(OrviSim::Component::Dsp),
                                                        installed(OrviSim::Component::Styles),
                                                        installed(OrviSim::Component::Ensemble)});
        };
        const auto nothingSent = [](const Run &run) { return run.report.filter(" installed ").isEmpty(); };
        // Arguments, devices, exit status, what standard output holds, and what else must hold.
        struct Case
        {
            QStringList arguments;
            QString devices;
            int status;
            QString shown;
            std::function<bool(const Run &)> holds = nullptr;
            bool secondUser = false;
        };
        const Case cases[] = {
                {{"--list-devices"}, older, 0,
                 "Orvi+ A at sim-1\n  MCU: Production 1.1\n  DSP: Production 1.1\n  Styles: 0x2\n  Ensemble: 0x5\n"},
                {{"--list-devices", "--json"}, twoDevices, 0, "",
                 [](const Run &run) { return run.values("devices", "serial") == QStringList({"A", "B"}); }},
                {{"--check"}, older, 0, "Updates for Orvi+ A:\n  MCU Firmware: Version Production 1.2, Size 3 KB\n"},
                // Another user checks after the first, in the same temporary folder.
                {{"--check"}, older, 0, "Updates for Orvi+ A:\n  MCU Firmware: Version Production 1.2, Size 3 KB\n",
                 nullptr, true},
                {{"--check", "--json"}, older, 0, "",
                 [](const Run &run) {
                     return run.values("plan", "component")
                             == QStringList({"MCU Firmware", "DSP Firmware", "Styles", "Ensemble Audio"});
                 }},
                {{"--update", "--yes", "--json"}, older, 0, "", allInstalled},
                {{"--check"}, "model=plus,serial=A,mcu=0x0312,dsp=0x0312,styles=3,ensemble=6", 4,
                 "Orvi+ A is up to date.\n"},
                {{"--check"}, "", 3, ""},
                {{"--check", "--device", "C"}, twoDevices, 3, ""},
                {{"--update", "--yes"}, twoDevices, 2, "", nothingSent},
                {{"--update"}, older, 2, "", nothingSent}, // nobody to ask
                {{"--update", "--yes", "--device", "A"}, older + ",unplug-at=20", 1, "",
                 [](const Run &run) { return run.err.contains("Installing MCU Firmware failed: "); }},
                {{"--update", "--yes"}, older + ",pacing-us=50000", 1, "",
                 [nothingSent](const Run &run) {
                     return run.ranOn && run.err.contains("Interrupted.") && nothingSent(run);
                 }},
                {{"--check"}, older, 75, "", nothingSent}}; // while another copy runs
        for (const Case &c : cases) {
            if (c.secondUser && ::geteuid() != 0)
                continue; // only root can run the program as another user
            const bool interrupted = c.devices.contains("pacing");
            QLockFile otherCopy(m_runtime.filePath("brevanto_orvi_updater_single_instance_lock"));
            QVERIFY(c.status != 75 || otherCopy.tryLock(0));
            const Run run = this->run(c.arguments, c.devices, interrupted, c.secondUser);
            const QString name = c.arguments.join(' ') + " over " + c.devices;
            QVERIFY2(run.status == c.status, qPrintable(name + ": " + run.out + run.err.right(1000)));
            QVERIFY2(run.out.contains(c.shown.toUtf8()), qPrintable(name + ": " + run.out));
            QVERIFY2(!c.holds || c.holds(run), qPrintable(name + ": " + run.out + run.report.join('\n')));
        }
        // The manifest URL given was for each run only.
        QFile settings(qEnvironmentVariable("XDG_CONFIG_HOME") + "/Brevanto/Orvi Updater.conf");
        QVERIFY(settings.open(QIODevice::ReadOnly) && !settings.readAll().contains("manifest-url"));
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"
