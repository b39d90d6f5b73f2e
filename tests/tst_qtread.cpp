// Formats read through Qt's image plugins, in the decoder's child process.
#include "filetests.h"

#include <QBuffer>
#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Qtread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void otherFormatsThroughQt();
};

void tst_Qtread::initTestCase() { useStandInDecoder(); }

void tst_Qtread::otherFormatsThroughQt()
{
    const QImage source = pattern(17, 9);
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(source.save(&buffer, "PNG"));
    }
    QString diff = firstDifference(decoded(png), source);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    // Alpha is laid over the background.
    QImage alpha(2, 1, QImage::Format_ARGB32);
    alpha.setPixel(0, 0, qRgba(255, 255, 255, 0));
    alpha.setPixel(1, 0, qRgba(200, 100, 50, 255));
    QByteArray alphaPng;
    {
        QBuffer buffer(&alphaPng);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(alpha.save(&buffer, "PNG"));
    }
    const QImage flat = decoded(alphaPng);
    QCOMPARE(flat.pixel(0, 0), kBackground);
    QCOMPARE(flat.pixel(1, 0), qRgb(200, 100, 50));
    // A small PNG claiming 30000 x 30000 pixels.
    QByteArray liar = png.left(33);
    for (int at : {16, 20}) {
        liar[at] = 0, liar[at + 1] = 0, liar[at + 2] = char(30000 >> 8), liar[at + 3] = char(30000 & 255);
    }
    QVERIFY(decoded(liar + png.mid(33, 40)).isNull());
    // Damaged files are refused on this route too.
    QVERIFY(decoded(png.left(png.size() * 2 / 3)).isNull());
}

QTEST_GUILESS_MAIN(tst_Qtread)
#include "tst_qtread.moc"
