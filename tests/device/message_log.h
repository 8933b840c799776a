// Collects the program's log lines, from any thread, while an instance is alive.
#ifndef ORVI_TESTS_MESSAGE_LOG_H
#define ORVI_TESTS_MESSAGE_LOG_H

#include <QStringList>
#include <QtGlobal>

#include <mutex>

class MessageLog {
public:
    MessageLog()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines.clear();
        s_active = true;
        s_previous = qInstallMessageHandler(&MessageLog::handle);
    }

    ~MessageLog()
    {
        qInstallMessageHandler(s_previous);
        std::lock_guard<std::mutex> lock(s_mutex);
        s_active = false;
    }

    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_lines;
    }

    // The lines that begin with prefix, in order.
    QStringList linesStartingWith(const QString& prefix) const
    {
        QStringList matching;
        for (const QString& line : lines()) {
            if (line.startsWith(prefix))
                matching.append(line);
        }
        return matching;
    }

    int count(const QString& line) const { return lines().count(line); }

    void clear()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines.clear();
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        QtMessageHandler previous;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            if (s_active)
                s_lines.append(message);
            previous = s_previous;
        }
        if (previous)
            previous(type, context, message);
    }

    static inline std::mutex s_mutex;
    static inline QStringList s_lines;
    static inline bool s_active = false;
    static inline QtMessageHandler s_previous = nullptr;
};

#endif
