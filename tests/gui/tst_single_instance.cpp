#include <QtTest>

#include <cstring>
#include <tuple>
#include <signal.h>

#include "child_process.h"

// Runs the real program on a private X server: only one copy may hold the lock in the
// user's runtime folder, and the copy that holds it lets go when it ends normally, by
// its window or by a termination signal. Its command line is answered before anything.
class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Xvfb picks a free display itself and writes its number once it accepts clients.
        m_xserver.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"});
        const QByteArray display = m_xserver.firstLine();
        QVERIFY2(!display.isEmpty(), "Xvfb did not start");
        qputenv("DISPLAY", ":" + display);
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", m_tmp.path().toLocal8Bit());
    }

    void secondCopyIsTurnedAwayWhileTheFirstKeepsItsLock()
    {
        ChildProcess first, second;
        const QByteArray mainWindow = startWithWindow(first);
        QVERIFY(!mainWindow.isEmpty());
        const QByteArray box = startWithWindow(second);
        QCOMPARE(output("xdotool", {"getwindowname", box}).trimmed(), QByteArray("Orvi Updater"));
        QVERIFY(succeeds("xdotool", {"windowfocus", "--sync", box, "key", "Return"}));
        QVERIFY(endsWith(second, 0));
        // Turned away before any window or settings were made.
        QCOMPARE(second.readAllStandardOutput(), QByteArray("Another instance of the application is already running.\n"));
        QVERIFY(QFileInfo::exists(m_lockPath));
        // Closed as a window manager closes it, so the program ends through its event loop.
        QVERIFY(succeeds("python3", {ORVI_X11_HELPER, "close", mainWindow}));
        QVERIFY(endsWith(first, 0));
        QVERIFY(!QFileInfo::exists(m_lockPath));
    }

    void terminationSignalEndsTheProgramCleanly()
    {
        for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
            ChildProcess updater;
            QVERIFY(!startWithWindow(updater).isEmpty());
            QVERIFY(QFileInfo::exists(m_lockPath));
            QCOMPARE(::kill(pid_t(updater.processId()), signalNumber), 0);
            QVERIFY2(endsWith(updater, 0), strsignal(signalNumber));
            QVERIFY(!QFileInfo::exists(m_lockPath));
        }
    }

    // Help and version need no display at all: without one, making the application object would fail.
    void commandLineIsAnsweredWithoutAWindow()
    {
        // Arguments, exit code, and the start of standard output, or of standard error on failure.
        const std::tuple<QStringList, int, const char *> cases[] = {
                {{"--help"}, 0, "Usage: orvi-updater [options]\n"},
                {{"--version"}, 0, "Orvi Updater 2.0.2\n"},
                {{"--bogus"}, 2, "orvi-updater: Unknown option 'bogus'.\nTry 'orvi-updater --help'"},
                {{"-platform", "offscreen", "file.bin"}, 2, "orvi-updater: Unexpected argument 'file.bin'.\n"}};
        for (const auto &[arguments, exitCode, output] : cases) {
            QProcess updater;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            if (exitCode == 0)
                environment.remove(QStringLiteral("DISPLAY"));
            updater.setProcessEnvironment(environment);
            updater.start(QStringLiteral(ORVI_UPDATER_PATH), arguments);
            QVERIFY(endsWith(updater, exitCode));
            const QString printed = QString::fromLocal8Bit(exitCode == 0 ? updater.readAllStandardOutput()
                                                                     : updater.readAllStandardError());
            QVERIFY2(printed.startsWith(QLatin1String(output)), qPrintable(printed));
            QVERIFY(!QFileInfo::exists(m_lockPath));
        }
    }

private:
    // Standard output of a helper program that succeeded, else nothing.
    static QByteArray output(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.start(program, arguments);
        return endsWith(process, 0) ? process.readAllStandardOutput() : QByteArray();
    }
    static bool succeeds(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.start(program, arguments);
        return endsWith(process, 0);
    }
    // Generous: an instrumented program beside the other tests can take a while to show its window.
    static bool endsWith(QProcess &process, int exitCode)
    {
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
               && process.exitCode() == exitCode;
    }
    // The program's first visible window, once it shows.
    static QByteArray startWithWindow(QProcess &updater)
    {
        updater.start(QStringLiteral(ORVI_UPDATER_PATH), QStringList());
        updater.waitForStarted();
        const QString pid = QString::number(updater.processId());
        return output("xdotool", {"search", "--sync", "--onlyvisible", "--pid", pid}).split('\n').value(0);
    }

    QTemporaryDir m_tmp;
    QString m_lockPath = m_tmp.path() + QStringLiteral("/brevanto_orvi_updater_single_instance_lock");
    ChildProcess m_xserver;
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_single_instance.moc"
