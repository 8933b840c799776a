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
        return run({"-G", "-W", "-p", path(name + ".pub"), "-s", path(name + ".key")}, path(name + ".pub"));
    }

    // Signs filePath with key NAME; returns the .minisig text. The legacy kind signs the file
    // itself rather than its hash.
    QByteArray sign(const QString &filePath, const QString &name, const QString &trustedComment, bool legacy = false)
    {
        return run(QStringList{"-S", "-s", path(name + ".key"), "-m", filePath, "-x", path("out.minisig"), "-t",
                               trustedComment}
                           + (legacy ? QStringList{"-l"} : QStringList()),
                   path("out.minisig"));
    }

    // Signs with minisign's usual trusted comment at the given time (seconds since 1970).
    QByteArray signAt(const QString &filePath, const QString &name, qint64 timestamp)
    {
        return sign(filePath, name, QStringLiteral("timestamp:%1\tfile:manifest.xml\thashed").arg(timestamp));
    }

    QString path(const QString &name) const { return m_folder.filePath(name); }

private:
    // The file minisign made, or nothing when it failed.
    static QByteArray run(const QStringList &arguments, const QString &made)
    {
        QProcess process;
        process.start(QStringLiteral("minisign"), arguments);
        QFile file(made);
        if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0
            && file.open(QIODevice::ReadOnly))
            return file.readAll();
        qWarning() << "minisign" << arguments << "failed:" << process.errorString() << process.readAllStandardError();
        return QByteArray();
    }

    QTemporaryDir m_folder;
};

#endif // ORVI_MINISIGN_TOOL_H
