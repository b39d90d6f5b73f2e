// Decoding JPEG XL in the decoder's child process.
#include "filetests.h"

#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Jxlread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void jxlOpens();
};

void tst_Jxlread::initTestCase() { useStandInDecoder(); }

// JPEG XL opens at its first frame, converted from its profile as a BMP
// with the same profile is.
void tst_Jxlread::jxlOpens()
{
    const QImage source = photo(61, 37);
    VERIFY_SAME_PIXELS(decoded(jxl(source)), source);
    VERIFY_SAME_PIXELS(openedFromFile(jxl(source, {}, 3)), source);
    const QByteArray p3 = iccProfile(Profile::DisplayP3);
    const QImage inP3 = inProfile(source, p3);
    VERIFY_SAME_PIXELS(decoded(jxl(inP3, p3)), decoded(bmpV5(inP3, false, p3)));
    QVERIFY(decoded(jxl(source).left(200)).isNull());
    // Its size is known from its header, as the batch command asks before
    // it decodes.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a.jxl"), jxl(source)));
    const Made<QSize> size = pictureSize(dir.filePath("a.jxl"));
    QVERIFY(size.ok());
    QCOMPARE(size.value(), source.size());
}

QTEST_GUILESS_MAIN(tst_Jxlread)
#include "tst_jxlread.moc"
