// The decoder's child process: a decoder that misbehaves costs its picture
// alone.
#include "filetests.h"

#include <QRegularExpression>
#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Isolated : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void decoderFaults_data();
    void decoderFaults();
};

void tst_Isolated::initTestCase() { useStandInDecoder(); }

// A decoder that dies, bloats or hangs costs its picture alone; the next
// picture gets a fresh child.
void tst_Isolated::decoderFaults_data()
{
    QTest::addColumn<QByteArray>("behaviour");
    QTest::addColumn<int>("cause");
    QTest::addColumn<QString>("reason"); // a pattern
    QTest::newRow("decoder aborts") << QByteArray("abort") << int(Fault::Cause::Crashed)
                                    << QStringLiteral("^the decoder crashed \\(signal 6\\)$");
    QTest::newRow("decoder leaks without bound") << QByteArray("leak") << int(Fault::Cause::Content)
                                                 << QStringLiteral("^the decoder went over its memory limit of \\d+ MiB$");
    QTest::newRow("decoder sleeps") << QByteArray("sleep") << int(Fault::Cause::Content)
                                    << QStringLiteral("^the decoder went over its time limit of 2 s$");
    QTest::newRow("decoder spins") << QByteArray("spin") << int(Fault::Cause::Content)
                                   << QStringLiteral("^the decoder went over its time limit of 2 s$");
}

void tst_Isolated::decoderFaults()
{
    QFETCH(QByteArray, behaviour);
    QFETCH(int, cause);
    QFETCH(QString, reason);
#ifdef PIXELVANE_SANITIZED
    if (behaviour == "leak")
        QSKIP("a limit of memory cannot hold under AddressSanitizer, which reserves terabytes of it");
#endif
    const QByteArray file = misbehaving(behaviour);
    const Made<Opened> refused = decodePicture(file);
    QVERIFY(!refused);
    QCOMPARE(int(refused.reason().cause), cause);
    QVERIFY2(QRegularExpression(reason).match(refused.reason().text).hasMatch(), qPrintable(refused.reason().text));
    // The real decoder's work, as the stand-in does it for other files.
    const QByteArray good = misbehaving("nothing");
    const QImage opened = decoded(good);
    QCOMPARE(opened.size(), QSize(64, 48));
    QImage flat(64, 48, QImage::Format_RGB32);
    flat.fill(qRgb(90, 120, 150));
    const int worst = distance(opened, flat).worst; // the codec's rounding through YCbCr
    QVERIFY2(worst <= 6, qPrintable(QString::number(worst)));
}

QTEST_GUILESS_MAIN(tst_Isolated)
#include "tst_isolated.moc"
