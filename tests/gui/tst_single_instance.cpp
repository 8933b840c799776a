#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Runs the real program on a private X server: only one copy may hold the
// lock in a temporary folder, and the copy that holds it lets go on a normal exit.
class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void secondCopyIsTurnedAwayWhileTheFirstKeepsItsLock();

private:
    // Runs a short helper program; its standard output, or a null array on failure.
    QByteArray run(const QString &program, const QStringList &arguments, int timeoutMs = 20000);
    QByteArray waitForWindowOf(const QProcess &process);
    void startUpdater(QProcess &process);
    QString lockPath() const { return m_tmp->path() + QStringLiteral("/brevanto_orvi_updater_single_instance_lock"); }

    QProcessEnvironment m_environment;
    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<QProcess> m_xserver;
};

void SingleInstanceTest::initTestCase()
{
    for (const char *tool : {"Xvfb", "xdotool", "python3"})
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
    QVERIFY(QFileInfo::exists(QStringLiteral(ORVI_UPDATER_PATH)));
}

void SingleInstanceTest::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());

    // Xvfb picks a free display itself and writes its number once it accepts clients.
    m_xserver.reset(new QProcess);
    m_xserver->start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                              QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                              QStringLiteral("-screen"), QStringLiteral("0"),
                                              QStringLiteral("1280x1024x24")});
    QVERIFY(m_xserver->waitForStarted());
    QElapsedTimer waited;
    waited.start();
    while (!m_xserver->canReadLine() && waited.elapsed() < 15000)
        m_xserver->waitForReadyRead(500);
    const QByteArray display = m_xserver->readLine().trimmed();
    QVERIFY2(!display.isEmpty(), m_xserver->readAllStandardError().constData());

    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + QString::fromLatin1(display));
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    m_environment.insert(QStringLiteral("TMPDIR"), m_tmp->path());
    QVERIFY(!run(QStringLiteral("xdotool"), {QStringLiteral("getdisplaygeometry")}).isNull());
}

void SingleInstanceTest::cleanup()
{
    // Any updater left running is killed by its QProcess; the server goes last.
    m_xserver.reset();
    m_tmp.reset();
}

QByteArray SingleInstanceTest::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(m_environment);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning() << program << arguments << "failed:" << process.readAllStandardError();
        return QByteArray();
    }
    const QByteArray output = process.readAllStandardOutput();
    return output.isNull() ? QByteArray("") : output;
}

QByteArray SingleInstanceTest::waitForWindowOf(const QProcess &process)
{
    const QByteArray windows =
        run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                        QStringLiteral("--pid"), QString::number(process.processId())});
    return windows.split('\n').value(0).trimmed();
}

void SingleInstanceTest::startUpdater(QProcess &process)
{
    process.setProcessEnvironment(m_environment);
    process.start(QStringLiteral(ORVI_UPDATER_PATH), QStringList());
}

void SingleInstanceTest::secondCopyIsTurnedAwayWhileTheFirstKeepsItsLock()
{
    QProcess first;
    startUpdater(first);
    QVERIFY(first.waitForStarted());
    const QByteArray mainWindow = waitForWindowOf(first);
    QVERIFY(!mainWindow.isEmpty());
    QVERIFY(QFileInfo::exists(lockPath()));
    const QByteArray geometry =
        run(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), QString::fromLatin1(mainWindow)});
    QVERIFY2(geometry.contains("Geometry: 750x500"), geometry.constData());

    QProcess second;
    startUpdater(second);
    QVERIFY(second.waitForStarted());
    const QByteArray box = waitForWindowOf(second);
    QVERIFY(!box.isEmpty());
    // An untitled window is shown under the application's name.
    QCOMPARE(run(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), QString::fromLatin1(box)}).trimmed(),
             QByteArray("Orvi Updater"));
    // The box waits for its answer: the copy is still there.
    QCOMPARE(second.state(), QProcess::Running);

    QVERIFY(!run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"),
                                             QString::fromLatin1(box), QStringLiteral("key"), QStringLiteral("Return")})
                 .isNull());
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    const QByteArray secondLog = second.readAllStandardOutput();
    QVERIFY2(secondLog.split('\n').contains("Another instance of the application is already running."),
             secondLog.constData());
    // Turned away before any window or settings were made.
    QVERIFY2(!secondLog.contains("App version"), secondLog.constData());

    QCOMPARE(first.state(), QProcess::Running);
    QVERIFY(QFileInfo::exists(lockPath()));

    // Closed as a window manager closes it, so the program ends through its event loop.
    QVERIFY(!run(QStringLiteral("python3"), {QStringLiteral(ORVI_X11_HELPER), QStringLiteral("close"),
                                             QString::fromLatin1(mainWindow)})
                 .isNull());
    QVERIFY(first.waitForFinished(10000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    const QByteArray firstLog = first.readAllStandardOutput();
    QVERIFY2(firstLog.split('\n').contains("App version = 2.0.2"), firstLog.constData());
    QVERIFY(!firstLog.contains("Another instance"));
    QVERIFY(!QFileInfo::exists(lockPath()));

    // With the lock released, the next copy opens its window.
    QProcess third;
    startUpdater(third);
    QVERIFY(third.waitForStarted());
    const QByteArray thirdWindow = waitForWindowOf(third);
    QVERIFY(!thirdWindow.isEmpty());
    QVERIFY(QFileInfo::exists(lockPath()));
    QVERIFY(!run(QStringLiteral("python3"), {QStringLiteral(ORVI_X11_HELPER), QStringLiteral("close"),
                                             QString::fromLatin1(thirdWindow)})
                 .isNull());
    QVERIFY(third.waitForFinished(10000));
    QCOMPARE(third.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(lockPath()));
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_single_instance.moc"
