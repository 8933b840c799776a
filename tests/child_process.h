#ifndef ORVI_CHILD_PROCESS_H
#define ORVI_CHILD_PROCESS_H

#include <QElapsedTimer>
#include <QProcess>

#include <signal.h>
#include <sys/prctl.h>

// Goes away with the test, even if the test crashes.
class ChildProcess : public QProcess
{
public:
    ChildProcess()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    }
    ~ChildProcess() override { stop(); }
    void stop()
    {
        terminate();
        if (!waitForFinished(3000))
            kill();
        waitForFinished(3000);
    }
    // The first line the process prints, or an empty one if none comes.
    QByteArray firstLine()
    {
        QElapsedTimer timer;
        timer.start();
        while (!canReadLine() && state() != NotRunning && !timer.hasExpired(10000))
            waitForReadyRead(500);
        return readLine().trimmed();
    }

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
#endif
};

#endif
