#ifndef ORVI_WORKING_FOLDER_H
#define ORVI_WORKING_FOLDER_H

#include <QString>

namespace OrviPlus {

// "Brevanto/OrviUpdater" under the system temporary folder: the manifest and the
// downloaded components live there.
QString workingFolderPath();

// Creates the working folder if needed and makes sure no other user can put files
// into it. Returns false, after logging which folder is at fault, when the folder
// cannot be created or is not safe to use.
bool prepareWorkingFolder();

} // namespace OrviPlus

#endif // ORVI_WORKING_FOLDER_H
