// Opening picture files: limits of size checked before the work, and files
// read from disk as from memory.
#include "filetests.h"

#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Picture : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void sideLimit_data();
    void sideLimit();
    void loadFromDisk();
};

void tst_Picture::initTestCase() { useStandInDecoder(); }

void tst_Picture::sideLimit_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<bool>("opens");
    QTest::newRow("32767 wide") << 32767 << 1 << true;
    QTest::newRow("32768 wide") << 32768 << 1 << false;
    QTest::newRow("32767 tall") << 1 << 32767 << true;
    QTest::newRow("32768 tall") << 1 << 32768 << false;
    QTest::newRow("1 x 1") << 1 << 1 << true;
}

void tst_Picture::sideLimit()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(bool, opens);
    QImage mono(w, h, QImage::Format_RGB32);
    mono.fill(qRgb(0, 0, 0));
    mono.setPixel(0, 0, qRgb(255, 255, 255));
    const QImage d = decoded(bmp(mono, 1));
    QCOMPARE(!d.isNull(), opens);
    if (opens) {
        QCOMPARE(d.size(), QSize(w, h));
        QCOMPARE(d.pixel(0, 0), qRgb(255, 255, 255));
    }
}

void tst_Picture::loadFromDisk()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("写真 one.bmp"));
    QVERIFY(writeFile(path, bmp(pattern(5, 4), 24)));
    QCOMPARE(openPicture(path)->image.size(), QSize(5, 4));
    QVERIFY(!openPicture(dir.filePath("missing.bmp")).ok());
    QVERIFY(!openPicture(dir.path()).ok());
}

QTEST_GUILESS_MAIN(tst_Picture)
#include "tst_picture.moc"
