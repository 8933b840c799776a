#ifndef ORVI_SEND_FILE_EVENT_H
#define ORVI_SEND_FILE_EVENT_H

#include <QEvent>
#include <QString>

namespace OrviPlus {

// What a file sent to the device holds; each kind has its own transfer. A manifest's
// component type arrives here unchanged, so the fixed type keeps other values well defined.
enum DeviceFileType : int {
    MicroFirmware = 0,
    DspFirmware = 1,
    StyleData = 2,
    EnsembleAudio = 3,
};

// Asks the device agent's worker to send one file.
class SendFileEvent : public QEvent {
public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 4);

    SendFileEvent(DeviceFileType fileType, const QString& filePath);
    ~SendFileEvent() override;

    DeviceFileType fileType;
    QString filePath;
};

} // namespace OrviPlus

#endif
