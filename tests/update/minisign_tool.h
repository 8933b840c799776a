#ifndef ORVI_MINISIGN_TOOL_H
#define ORVI_MINISIGN_TOOL_H

#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

// The minisign command, making key pairs and signatures in a temporary folder that goes with
// the object: what a publisher does, so the program is checked against the real format.
class MinisignTool
{
public:
    // Makes the key pair NAME.pub / NAME.key (no password); returns the .pub file's text.
    QByteArray makeKey(const QString &name)
    {
        if (!run({"-G", "-W", "-p", path(name + ".pub"), "-s", path(name + ".key")}))
            return QByteArray();
        return read(path(name + ".pub"));
    }

    // Signs filePath with key NAME; returns the .minisig text. The legacy kind signs the file
    // itself rather than its hash.
    QByteArray sign(const QString &filePath, const QString &name, const QString &trustedComment,
                    bool legacy = false)
    {
        QStringList arguments{"-S", "-s", path(name + ".key"), "-m", filePath, "-x", path("out.minisig"), "-t",
                              trustedComment};
        if (legacy)
            arguments << "-l";
        return run(arguments) ? read(path("out.minisig")) : QByteArray();
    }

    // Signs with minisign's usual trusted comment at the given time (seconds since 1970).
    QByteArray signAt(const QString &filePath, const QString &name, qint64 timestamp)
    {
        return sign(filePath, name, QStringLiteral("timestamp:%1\tfile:manifest.xml\thashed").arg(timestamp));
    }

    QString path(const QString &name) const { return m_folder.filePath(name); }

private:
    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static bool run(const QStringList &arguments)
    {
        QProcess process;
        process.start(QStringLiteral("minisign"), arguments);
        if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        qWarning() << "minisign" << arguments << "failed:" << process.errorString() << process.readAllStandardError();
        return false;
    }

    QTemporaryDir m_folder;
};

#endif // ORVI_MINISIGN_TOOL_H
