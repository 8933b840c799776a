/* Collects the program's log lines, from any thread, while an instance is alive. */
#ifndef ORVI_MESSAGE_LOG_H
#define ORVI_MESSAGE_LOG_H

#include <QRegularExpression>
#include <QStringList>

#include <mutex>

class MessageLog {
public:
    MessageLog()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines.clear();
        s_previous = qInstallMessageHandler(&MessageLog::handle);
    }
    ~MessageLog() { qInstallMessageHandler(s_previous); }

    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_lines;
    }
    int count(const QString& line) const { return lines().count(line); }
    QStringList startingWith(const QString& prefix) const
    {
        return lines().filter(QRegularExpression('^' + QRegularExpression::escape(prefix)));
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines.append(message);
    }

    static inline std::mutex s_mutex;
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

#endif
