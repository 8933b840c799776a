#ifndef ORVI_MESSAGE_RECORDER_H
#define ORVI_MESSAGE_RECORDER_H

#include <QRegularExpression>
#include <QStringList>

// Records every log message while it exists, passing each on to the previous handler.
class MessageRecorder
{
public:
    MessageRecorder() { m_previous = qInstallMessageHandler(&MessageRecorder::record); }
    ~MessageRecorder()
    {
        qInstallMessageHandler(m_previous);
        m_messages.clear();
    }

    int count(const QString &message) const { return m_messages.count(message); }
    QStringList startingWith(const QString &prefix) const
    {
        return m_messages.filter(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
    }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        m_messages.append(message);
        if (m_previous)
            m_previous(type, context, message);
    }

    static inline QStringList m_messages;
    static inline QtMessageHandler m_previous = nullptr;
};

#endif // ORVI_MESSAGE_RECORDER_H
