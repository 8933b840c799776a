#ifndef ORVI_MESSAGE_RECORDER_H
#define ORVI_MESSAGE_RECORDER_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records every log message while it exists, passing each on to the handler
// that was installed before it.
class MessageRecorder
{
public:
    MessageRecorder();
    ~MessageRecorder();

    QStringList messages() const;
    // Messages that start with prefix.
    QStringList messagesStartingWith(const QString &prefix) const;
    int count(const QString &message) const;
    void clear();

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message);

    static QStringList m_messages;
    static QtMessageHandler m_previous;
};

#endif // ORVI_MESSAGE_RECORDER_H
