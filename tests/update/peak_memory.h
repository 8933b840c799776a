#ifndef ORVI_PEAK_MEMORY_H
#define ORVI_PEAK_MEMORY_H

#include <QFile>
#include <QtGlobal>

// How far the resident memory of this process rose above its level at start(),
// from the kernel's peak figure. The peak is reset at start() where the kernel
// allows it; otherwise the earlier peak stands and growth can only be overstated.
class PeakMemory
{
public:
    void start()
    {
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (clearRefs.open(QIODevice::WriteOnly))
            clearRefs.write("5");
        m_baseKiB = statusField("VmRSS:");
    }

    qint64 growthKiB() const { return statusField("VmHWM:") - m_baseKiB; }

    static qint64 statusField(const char *name)
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith(name))
                return line.mid(int(qstrlen(name))).trimmed().split(' ').first().toLongLong();
        }
        return -1;
    }

private:
    qint64 m_baseKiB = 0;
};

#endif // ORVI_PEAK_MEMORY_H
