#ifndef ORVI_WORKING_FOLDER_H
#define ORVI_WORKING_FOLDER_H

#include <QString>

namespace OrviPlus {

// The user's own "Brevanto-UID/OrviUpdater" under the system temporary folder, or
// "Brevanto/OrviUpdater" where that folder is the user's own (macOS): the manifest and
// the downloaded components live there.
QString workingFolderPath();

// Creates the working folder if needed and makes sure no other user can put files
// into it. Returns false, after logging which folder is at fault, when the folder
// cannot be created or is not safe to use.
bool prepareWorkingFolder();

#ifdef Q_OS_UNIX
// Creates a folder that only the current user may enter, or checks that one found at
// the path is a real folder of that user and closes it to others. Failures are logged
// with purpose in front.
bool makePrivateFolder(const QString &path, const char *purpose);
#endif

} // namespace OrviPlus

#endif // ORVI_WORKING_FOLDER_H
