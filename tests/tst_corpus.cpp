// A corpus of broken and awkward files, opened through the window: each
// opens with its true size or is refused with the load message, leaving
// every read-out, field, surface and preview as it was.
#include "app/form1.h"
#include "scenario/scripteddialogs.h"
#include "scenario/invariants.h"
#include "scenario/runner.h"
#include "testimages.h"

#include <QApplication>
#include <QBuffer>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

using namespace pv;
using namespace testimages;

namespace {

QByteArray patched(QByteArray b, int at, quint32 value, int size = 4)
{
    for (int i = 0; i < size; ++i)
        b[at + i] = char((value >> (8 * i)) & 255);
    return b;
}

QByteArray png(const QImage &image)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return out;
}

QImage mono(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(qRgb(0, 0, 0));
    image.setPixel(w - 1, h - 1, qRgb(255, 255, 255));
    return image;
}

} // namespace

class tst_Corpus : public QObject {
    Q_OBJECT
private slots:
    void openEach_data();
    void openEach();
};

void tst_Corpus::openEach_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size"); // invalid: refused

    const QSize refused;
    for (const char *ext : {"bmp", "jpg", "jpeg", "gif", "png"})
        QTest::addRow("empty .%s", ext) << QStringLiteral("empty.") + ext << QByteArray() << refused;
    QTest::newRow("text named .bmp") << "notes.bmp" << QByteArray("Shopping list\nmilk\n") << refused;

    const QByteArray photoJpeg = jpeg(photo(120, 80), 90);
    for (int cut : {2, 100, 400, int(photoJpeg.size() * 2 / 3), int(photoJpeg.size() - 3)})
        QTest::addRow("jpeg cut at %d", cut) << "cut.jpg" << photoJpeg.left(cut) << refused;
    QTest::newRow("jpeg with trailing data") << "tail.jpg" << photoJpeg + QByteArray(1000, '\0') << QSize(120, 80);
    QTest::newRow("jpeg header then garbage") << "garbage.jpg" << photoJpeg.left(20) + QByteArray(3000, 'g') << refused;

    const QByteArray good = bmp(pattern(16, 8), 24);
    QTest::newRow("bmp header then garbage") << "garbage.bmp" << good.left(54) + QByteArray(200, '\x7f') << refused;
    QTest::newRow("bmp zero width") << "w0.bmp" << patched(good, 18, 0) << refused;
    QTest::newRow("bmp negative width") << "wneg.bmp" << patched(good, 18, quint32(-16)) << refused;
    QTest::newRow("bmp enormous") << "huge.bmp" << patched(patched(good, 18, 0x7fffffff), 22, 0x7fffffff) << refused;
    QTest::newRow("bmp impossible bit count") << "bits.bmp" << patched(good, 28, 13, 2) << refused;
    QTest::newRow("bmp 0 bits") << "bits0.bmp" << patched(good, 28, 0, 2) << refused;
    // An 8-bit picture whose palette has two entries: other indices are black.
    QImage grey(8, 2, QImage::Format_RGB32);
    for (int x = 0; x < 8; ++x) {
        grey.setPixel(x, 0, qRgb(x, x, x));
        grey.setPixel(x, 1, qRgb(x, x, x));
    }
    QByteArray smallPalette = patched(bmp(grey, 8), 46, 2);
    QTest::newRow("bmp palette index out of range") << "pal.bmp" << smallPalette << QSize(8, 2);
    QTest::newRow("bmp RLE run past the end") << "rle.bmp"
        << bmpRle(4, 2, 8, {qRgb(9, 9, 9)}, QByteArray("\xff\x00\x00\x00\xff\x00\x00\x01", 8)) << refused;
    QTest::newRow("bmp RLE cut short") << "rlecut.bmp" << bmpRle(4, 2, 8, {qRgb(9, 9, 9)}, QByteArray("\x04\x00", 2)) << refused;
    QTest::newRow("bmp 32767 wide") << "w32767.bmp" << bmp(mono(32767, 1), 1) << QSize(32767, 1);
    QTest::newRow("bmp 32768 wide") << "w32768.bmp" << bmp(mono(32768, 1), 1) << refused;
    QTest::newRow("bmp 32767 tall") << "h32767.bmp" << bmp(mono(1, 32767), 1) << QSize(1, 32767);
    QTest::newRow("bmp 32768 tall") << "h32768.bmp" << bmp(mono(1, 32768), 1) << refused;

    QImage gifSource(30, 30, QImage::Format_RGB32);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x)
            gifSource.setPixel(x, y, qRgb((x * y) % 250, x * 3, y * 5));
    const QByteArray goodGif = gif(gifSource);
    QTest::newRow("gif 65535 screen") << "screen.gif" << patched(patched(goodGif, 6, 0xffff, 2), 8, 0xffff, 2) << refused;
    QTest::newRow("gif cut in the data") << "cut.gif" << goodGif.left(goodGif.size() - 200) << refused;
    QByteArray lzw = goodGif;
    for (qsizetype i = lzw.size() / 2; i < lzw.size() - 1; ++i)
        lzw[i] = char(0xfe);
    QTest::newRow("gif broken LZW") << "lzw.gif" << lzw << refused;

    const QByteArray smallPng = png(pattern(3, 2));
    QTest::newRow("png claiming 30000 x 30000 named .jpg") << "liar.jpg"
        << patched(patched(smallPng.left(33), 16, 0x30750000), 20, 0x30750000) + smallPng.mid(33, 30) << refused;
    QTest::newRow("png named .jpg") << "really-png.jpg" << smallPng << QSize(3, 2);
    // Found by fuzzing: 105 bytes of MNG whose header claims 4 x 167772163.
    QTest::newRow("mng claiming 167 million rows") << "tall.jpg"
        << QByteArray::fromHex("8a4d4e470d0a1a0a0000000d49484452000000040a00000308020000003b963991000000097048597300000ec400000ec401952b0e1b0000001b4944415408996364606060e765842016665926665e460842e1000011e600f3ec77e7670000000049454e44ae426082") << refused;

    QTest::newRow("1 x 1 bmp") << "one.bmp" << bmp(pattern(1, 1), 24) << QSize(1, 1);
    QTest::newRow("1 x 1 jpeg") << "one.jpg" << jpeg(pattern(1, 1)) << QSize(1, 1);
    QTest::newRow("1 x 1 gif") << "one.gif" << gif(pattern(1, 1)) << QSize(1, 1);
    QTest::newRow("name with spaces") << "my holiday photo.bmp" << good << QSize(16, 8);
    QTest::newRow("Japanese name") << QStringLiteral("夏の写真　一枚目.jpg") << photoJpeg << QSize(120, 80);
}

void tst_Corpus::openEach()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    Form1 window(&dialogs);
    window.setEndHandler([] {});
    // Something loaded and edited first, so that "unchanged" means something.
    const QString first = dir.filePath("first.bmp");
    QVERIFY(writeFile(first, bmp(pattern(40, 30), 24)));
    dialogs.queueOpen(first);
    window.mnuOpen_Click();
    window.cmbDotDel_Click();
    dialogs.take();

    const QString path = dir.filePath(name);
    QVERIFY(writeFile(path, bytes));
    const QJsonObject before = visibleState(window);
    dialogs.queueOpen(path);
    window.mnuOpen_Click();
    const QJsonObject after = visibleState(window);
    QStringList messages;
    for (const auto &s : dialogs.take())
        if (s.kind == ScriptedDialogs::Shown::Kind::Message)
            messages << s.text;

    const QString broken = checkInvariants(window, before, after, !messages.isEmpty());
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
    if (size.isValid()) {
        QCOMPARE(messages, QStringList());
        QCOMPARE(QSize(window.state().intEditYoko, window.state().intEditTate), size);
        QCOMPARE(window.lblPicPath->text(), path);
    } else {
        QCOMPARE(messages, QStringList{texts::cannotRead});
        QCOMPARE(after, before);
    }
}

QTEST_MAIN(tst_Corpus)
#include "tst_corpus.moc"
