// Writing files that survive failures: an existing file is replaced whole or
// left as it was.
#include "files/atomicfile.h"
#include "filetests.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Atomicfile : public QObject {
    Q_OBJECT
private slots:
    void replacingKeepsModeAndLink();
    void longNames();
    void writeFailures_data();
    void writeFailures();
    void readOnlyTargetUntouched();
    void fullDiskKeepsOldFile();
    void staleTemporaries_data();
    void staleTemporaries();
};

void tst_Atomicfile::replacingKeepsModeAndLink()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("old.bmp");
    QVERIFY(writeFile(target, "old"));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QString link = dir.filePath("link.bmp");
    QVERIFY(QFile::link(target, link));
    QVERIFY(save(surfaceOf(pattern(3, 2)), 3, 2, link).isEmpty());
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QImage(target, "BMP").size(), QSize(3, 2));
    struct stat st {};
    QCOMPARE(stat(qPrintable(target), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0640u);
}

// The temporary file beside a name near the system's limit must fit too.
void tst_Atomicfile::longNames()
{
    QTemporaryDir dir;
    for (int length : {240, 248, 251, 255}) {
        const QString name = QString(length - 4, u'n') + QStringLiteral(".bmp");
        QVERIFY2(save(surfaceOf(pattern(3, 2)), 3, 2, dir.filePath(name)).isEmpty(), qPrintable(QString::number(length)));
        QCOMPARE(QImage(dir.filePath(name), "BMP").size(), QSize(3, 2));
    }
    // Multi-byte characters are cut whole.
    const QString japanese = QString(83, QChar(0x5199)) + QStringLiteral(".bmp"); // 253 bytes
    QVERIFY(save(surfaceOf(pattern(3, 2)), 3, 2, dir.filePath(japanese)).isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 5);
}

void tst_Atomicfile::writeFailures_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing folder") << "no/such/folder/out.bmp";
    QTest::newRow("name is a folder") << "folder";
    QTest::newRow("name is a FIFO") << "pipe";
}

void tst_Atomicfile::writeFailures()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    QVERIFY(mkfifo(qPrintable(dir.filePath("pipe")), 0600) == 0);
    const QString error = save(surfaceOf(pattern(3, 3)), 3, 3, dir.filePath(relative));
    QVERIFY(!error.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    // What had the name is still what it was.
    struct stat st {};
    QCOMPARE(lstat(qPrintable(dir.filePath("pipe")), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
}

void tst_Atomicfile::readOnlyTargetUntouched()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("old.bmp");
    const QByteArray old = bmp(pattern(2, 2), 24);
    QVERIFY(writeFile(target, old));
    QVERIFY(chown(qPrintable(dir.path()), 65534, 65534) == 0 || geteuid() != 0);
    QVERIFY(chown(qPrintable(target), 65534, 65534) == 0 || geteuid() != 0);
    const Surface s = surfaceOf(pattern(9, 9));

    // A read-only file in a writable folder.
    chmod(qPrintable(target), 0444);
    QByteArray error = inChild([&] { return save(s, 9, 9, target).toUtf8(); }, true);
    QVERIFY2(!error.isEmpty(), "a read-only file was replaced");
    QCOMPARE(readFile(target), old);

    // A writable file in a read-only folder.
    chmod(qPrintable(target), 0644);
    chmod(qPrintable(dir.path()), 0555);
    error = inChild([&] { return save(s, 9, 9, target).toUtf8(); }, true);
    chmod(qPrintable(dir.path()), 0755);
    QVERIFY2(!error.isEmpty(), "wrote into a read-only folder");
    QCOMPARE(readFile(target), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.bmp"});
}

void tst_Atomicfile::fullDiskKeepsOldFile()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("old.bmp");
    const QByteArray old = bmp(pattern(2, 2), 24);
    QVERIFY(writeFile(target, old));
    const Surface s = surfaceOf(photo(800, 600));
    // The child may write at most 64 KiB per file: the 1.4 MB BMP cannot fit.
    const QByteArray error = inChild([&] { return save(s, 800, 600, target).toUtf8(); }, false, 64 * 1024);
    QVERIFY2(!error.isEmpty(), "a failed write was reported as success");
    QCOMPARE(readFile(target), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.bmp"});
}

// Which temporary files a run removes: this machine's whose process is
// gone, never another machine's (its process numbers mean nothing here),
// nor one whose process lives, nor a name that only looks like one.
void tst_Atomicfile::staleTemporaries_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("stale");
    const QByteArray host = pv::hostName();
    const QByteArray alive = QByteArray::number(qint64(::getpid()));
    QTest::newRow("this host, process gone") << ".a.bmp.pvtmp." + host + ".999999999.Ab3dE6" << true;
    QTest::newRow("this host, process alive") << ".a.bmp.pvtmp." + host + "." + alive + ".Ab3dE6" << false;
    QTest::newRow("another host, no such process here") << ".a.bmp.pvtmp.x" + host + ".999999999.Ab3dE6" << false;
    QTest::newRow("another host with dots in its name") << ".a.bmp.pvtmp." + host + ".example.org.999999999.Ab3dE6" << false;
    QTest::newRow("no host: an older program's") << QByteArray(".a.bmp.pvtmp999999999.Ab3dE6") << false;
    QTest::newRow("not hidden") << "a.bmp.pvtmp." + host + ".999999999.Ab3dE6" << false;
    QTest::newRow("random part too short") << ".a.bmp.pvtmp." + host + ".999999999.Ab3d" << false;
    QTest::newRow("made here now") << [] {
        QByteArray name = pv::temporaryName("a.bmp", 255);
        pv::randomise(name);
        return name;
    }() << false;
}

void tst_Atomicfile::staleTemporaries()
{
    QFETCH(QByteArray, name);
    QTEST(pv::isStaleTemporary(name), "stale");
}

QTEST_GUILESS_MAIN(tst_Atomicfile)
#include "tst_atomicfile.moc"
