#ifndef ORVI_STDOUT_CAPTURE_H
#define ORVI_STDOUT_CAPTURE_H

#include <QString>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

/* Catches what the program prints by pointing file descriptor 1 at a file for a while. */
class StdoutCapture {
public:
    StdoutCapture() : m_saved((std::fflush(stdout), dup(1)))
    {
        if (m_file.open())
            dup2(m_file.handle(), 1);
    }
    ~StdoutCapture() { finish(); }

    /* Restores standard output and returns everything printed meanwhile. */
    QString finish()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            dup2(m_saved, 1);
            close(m_saved);
            m_saved = -1;
            m_file.seek(0);
            m_text = QString::fromLocal8Bit(m_file.readAll());
        }
        return m_text;
    }

private:
    QTemporaryFile m_file;
    int m_saved;
    QString m_text;
};

#endif
