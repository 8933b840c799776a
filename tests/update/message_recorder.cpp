#include "message_recorder.h"

QStringList MessageRecorder::m_messages;
QtMessageHandler MessageRecorder::m_previous = nullptr;

MessageRecorder::MessageRecorder()
{
    m_messages.clear();
    m_previous = qInstallMessageHandler(&MessageRecorder::record);
}

MessageRecorder::~MessageRecorder()
{
    qInstallMessageHandler(m_previous);
    m_previous = nullptr;
}

QStringList MessageRecorder::messages() const
{
    return m_messages;
}

QStringList MessageRecorder::messagesStartingWith(const QString &prefix) const
{
    QStringList found;
    for (const QString &message : m_messages) {
        if (message.startsWith(prefix))
            found.append(message);
    }
    return found;
}

int MessageRecorder::count(const QString &message) const
{
    return m_messages.count(message);
}

void MessageRecorder::clear()
{
    m_messages.clear();
}

void MessageRecorder::record(QtMsgType type, const QMessageLogContext &context,
                             const QString &message)
{
    m_messages.append(message);
    if (m_previous)
        m_previous(type, context, message);
}
