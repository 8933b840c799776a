#ifndef ORVI_TEST_CERTIFICATES_H
#define ORVI_TEST_CERTIFICATES_H

#include <QDebug>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>

// A throw-away certificate authority and, signed by it, a server certificate for 127.0.0.1, made
// with the openssl command in a temporary folder that goes with the object. EC keys: made at once.
class TestCertificates
{
public:
    TestCertificates()
    {
        const QStringList newKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1"};
        m_made = openssl(QStringList{"req", "-x509", "-subj", "/CN=Orvi test authority", "-keyout", path("ca.key"),
                                     "-out", path("ca.pem")} + newKey)
                && openssl(QStringList{"req", "-x509", "-CA", path("ca.pem"), "-CAkey", path("ca.key"), "-subj",
                                       "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-addext",
                                       "basicConstraints=CA:FALSE", "-keyout", keyPath(), "-out", certificatePath()}
                           + newKey);
    }

    bool made() const { return m_made; }
    QString certificatePath() const { return path("server.pem"); }
    QString keyPath() const { return path("server.key"); }
    QList<QSslCertificate> authority() const { return QSslCertificate::fromPath(path("ca.pem")); }

private:
    QString path(const QString &name) const { return m_folder.filePath(name); }
    static bool openssl(const QStringList &arguments)
    {
        QProcess process;
        process.start(QStringLiteral("openssl"), arguments);
        if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        qWarning() << "openssl" << arguments << "failed:" << process.errorString() << process.readAllStandardError();
        return false;
    }

    QTemporaryDir m_folder;
    bool m_made = false;
};

#endif // ORVI_TEST_CERTIFICATES_H
