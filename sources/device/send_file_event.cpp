#include "device/send_file_event.h"

namespace OrviPlus {

SendFileEvent::SendFileEvent(DeviceFileType fileType, const QString& filePath)
    : QEvent(EventType)
    , fileType(fileType)
    , filePath(filePath)
{
}

SendFileEvent::~SendFileEvent() = default;

} // namespace OrviPlus
