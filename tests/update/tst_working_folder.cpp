#include "update/working_folder.h"

#include "message_recorder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace OrviPlus;

namespace {

QString brevantoPath()
{
    return QDir::tempPath() + QStringLiteral("/Brevanto");
}

int permissionBits(const QString &path)
{
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

} // namespace

class TestWorkingFolder : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void createdForTheOwnerOnly();
    void existingFolderOfOursIsClosed();
    void symbolicLinkIsRefused_data();
    void symbolicLinkIsRefused();
    void folderOfAnotherUserIsRefused_data();
    void folderOfAnotherUserIsRefused();
    void fileInTheWayIsRefused();
};

void TestWorkingFolder::init()
{
    QDir(brevantoPath()).removeRecursively();
    QFile::remove(brevantoPath());
}

void TestWorkingFolder::createdForTheOwnerOnly()
{
    QVERIFY(prepareWorkingFolder());
    QVERIFY(QFileInfo(workingFolderPath()).isDir());
    QCOMPARE(permissionBits(workingFolderPath()), 0700);
    QCOMPARE(permissionBits(brevantoPath()), 0700);

    // A second preparation finds everything in order.
    QVERIFY(prepareWorkingFolder());
}

void TestWorkingFolder::existingFolderOfOursIsClosed()
{
    QVERIFY(QDir().mkpath(workingFolderPath()));
    QVERIFY(chmod(QFile::encodeName(workingFolderPath()).constData(), 0777) == 0);
    QVERIFY(chmod(QFile::encodeName(brevantoPath()).constData(), 0755) == 0);
    QFile kept(workingFolderPath() + QStringLiteral("/kept.bin"));
    QVERIFY(kept.open(QIODevice::WriteOnly));
    kept.close();

    QVERIFY(prepareWorkingFolder());
    QCOMPARE(permissionBits(workingFolderPath()), 0700);
    QCOMPARE(permissionBits(brevantoPath()), 0700);
    QVERIFY(kept.exists());
}

void TestWorkingFolder::symbolicLinkIsRefused_data()
{
    QTest::addColumn<bool>("linkParent");
    QTest::newRow("working folder") << false;
    QTest::newRow("its parent") << true;
}

void TestWorkingFolder::symbolicLinkIsRefused()
{
    QFETCH(bool, linkParent);
    QTemporaryDir target;
    QVERIFY(target.isValid());
    const QString linkPath = linkParent ? brevantoPath() : workingFolderPath();
    if (linkParent)
        QVERIFY(QDir(target.path()).mkdir(QStringLiteral("OrviUpdater")));
    else
        QVERIFY(QDir().mkpath(brevantoPath()));
    QVERIFY(QFile::link(target.path(), linkPath));

    MessageRecorder recorder;
    QVERIFY(!prepareWorkingFolder());
    QCOMPARE(recorder.count(QStringLiteral("Working folder: not a folder: \"%1\"").arg(linkPath)), 1);
    QVERIFY(QFileInfo(linkPath).isSymLink());
}

void TestWorkingFolder::folderOfAnotherUserIsRefused_data()
{
    QTest::addColumn<bool>("foreignParent");
    QTest::newRow("working folder") << false;
    QTest::newRow("its parent") << true;
}

void TestWorkingFolder::folderOfAnotherUserIsRefused()
{
    QFETCH(bool, foreignParent);
    if (geteuid() != 0)
        QSKIP("handing a folder to another user needs root");

    QVERIFY(QDir().mkpath(workingFolderPath()));
    const QString foreign = foreignParent ? brevantoPath() : workingFolderPath();
    const uid_t nobody = 65534;
    QVERIFY(chown(QFile::encodeName(foreign).constData(), nobody, nobody) == 0);
    QVERIFY(chmod(QFile::encodeName(foreign).constData(), 0777) == 0);

    MessageRecorder recorder;
    QVERIFY(!prepareWorkingFolder());
    QCOMPARE(recorder.count(QStringLiteral("Working folder: belongs to another user: \"%1\"").arg(foreign)), 1);
    // Left as found: it is not ours to change.
    QCOMPARE(permissionBits(foreign), 0777);
}

void TestWorkingFolder::fileInTheWayIsRefused()
{
    QVERIFY(QDir().mkpath(brevantoPath()));
    QFile blocker(workingFolderPath());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    MessageRecorder recorder;
    QVERIFY(!prepareWorkingFolder());
    QCOMPARE(recorder.count(QStringLiteral("Working folder: not a folder: \"%1\"").arg(workingFolderPath())), 1);
}

QTEST_GUILESS_MAIN(TestWorkingFolder)
#include "tst_working_folder.moc"
