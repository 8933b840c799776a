#include "update/working_folder.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace OrviPlus {

namespace {

// The folder of ours in the temporary folder, which holds the working folder.
QString brevantoFolderPath()
{
#if defined(Q_OS_MACOS) || !defined(Q_OS_UNIX)
    // The temporary folder is the user's own here.
    return QDir::tempPath() + QLatin1String("/Brevanto");
#else
    // /tmp is shared by every user: a folder of one name would be the first user's alone.
    return QDir::tempPath() + QLatin1String("/Brevanto-") + QString::number(geteuid());
#endif
}

} // namespace

QString workingFolderPath()
{
    return brevantoFolderPath() + QLatin1String("/OrviUpdater");
}

#ifdef Q_OS_UNIX

// The system temporary folder may be shared by every user of the computer, so a
// folder found there is used only if it is a real folder of ours. Other users are
// then shut out, so that nobody can swap a component between download and install.
bool makePrivateFolder(const QString &path, const char *purpose)
{
    const QByteArray nativePath = QFile::encodeName(path);
    if (mkdir(nativePath.constData(), 0700) != 0 && errno != EEXIST) {
        qCritical().nospace() << purpose << ": cannot create: " << path;
        return false;
    }

    struct stat info;
    if (lstat(nativePath.constData(), &info) != 0 || S_ISLNK(info.st_mode)
        || !S_ISDIR(info.st_mode)) {
        qCritical().nospace() << purpose << ": not a folder: " << path;
        return false;
    }
    if (info.st_uid != geteuid()) {
        qCritical().nospace() << purpose << ": belongs to another user: " << path;
        return false;
    }
    if ((info.st_mode & 07777) != 0700 && chmod(nativePath.constData(), 0700) != 0) {
        qCritical().nospace() << purpose << ": cannot restrict access: " << path;
        return false;
    }
    return true;
}

bool prepareWorkingFolder()
{
    QDir().mkpath(QDir::tempPath());
    const char purpose[] = "Working folder";
    return makePrivateFolder(brevantoFolderPath(), purpose) && makePrivateFolder(workingFolderPath(), purpose);
}

#else

bool prepareWorkingFolder()
{
    return QDir().mkpath(workingFolderPath());
}

#endif

} // namespace OrviPlus
