// The pure rules: rounding, the preview size, the geometry of each edit,
// the proposed save name, validation and capture.
#include "edit/framing.h"
#include "edit/geometry.h"
#include "edit/rounding.h"
#include "input/savename.h"
#include "input/validation.h"
#include "preview/previewrule.h"

#include <QHash>
#include <QTest>

using namespace pv;

Q_DECLARE_METATYPE(pv::Icon)

class tst_Rules : public QObject {
    Q_OBJECT
private slots:
    void rounding_data();
    void rounding();
    void previewRule_data();
    void previewRule();
    void trim_data();
    void trim();
    void centre_data();
    void centre();
    void shrink_data();
    void shrink();
    void shrinkSearchIsBounded();
    void fitAndPad_data();
    void fitAndPad();
    void borderCut_data();
    void borderCut();
    void saveName_data();
    void saveName();
    void numCheck_data();
    void numCheck();
    void validation_data();
    void validation();
    void capture_data();
    void capture();
};

void tst_Rules::rounding_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("0.5 to even 0") << 0.5 << qint64(0);
    QTest::newRow("1.5 to even 2") << 1.5 << qint64(2);
    QTest::newRow("2.5 to even 2") << 2.5 << qint64(2);
    QTest::newRow("3.5 to even 4") << 3.5 << qint64(4);
    QTest::newRow("-2.5 to even -2") << -2.5 << qint64(-2);
    QTest::newRow("-1.5 to even -2") << -1.5 << qint64(-2);
    QTest::newRow("2.4999 down") << 2.4999 << qint64(2);
    QTest::newRow("2.5001 up") << 2.5001 << qint64(3);
    QTest::newRow("huge saturates") << 1e300 << std::numeric_limits<qint64>::max();
}

void tst_Rules::rounding()
{
    QFETCH(double, value);
    QFETCH(qint64, expected);
    QCOMPARE(roundHalfEven(value), expected);
}

void tst_Rules::previewRule_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("pw");
    QTest::addColumn<int>("ph");
    QTest::addColumn<bool>("reduced");
    QTest::newRow("400x400 actual") << 400 << 400 << 400 << 400 << false;
    QTest::newRow("401x401 reduced") << 401 << 401 << 400 << 400 << true;
    QTest::newRow("800x600") << 800 << 600 << 400 << 300 << true;
    QTest::newRow("600x800") << 600 << 800 << 300 << 400 << true;
    QTest::newRow("13x416 12.5 to 12") << 13 << 416 << 12 << 400 << true;
    QTest::newRow("39x416 37.5 to 38") << 39 << 416 << 38 << 400 << true;
    QTest::newRow("416x13") << 416 << 13 << 400 << 12 << true;
    QTest::newRow("1000x1 height 0") << 1000 << 1 << 400 << 0 << true;
    QTest::newRow("300x500 tall") << 300 << 500 << 240 << 400 << true;
    QTest::newRow("401x300") << 401 << 300 << 400 << 299 << true;
    QTest::newRow("980x500") << 980 << 500 << 400 << 204 << true;
    QTest::newRow("900x700") << 900 << 700 << 400 << 311 << true;
    QTest::newRow("401x100 99.75") << 401 << 100 << 400 << 100 << true;
    QTest::newRow("1x1") << 1 << 1 << 1 << 1 << false;
}

void tst_Rules::previewRule()
{
    QFETCH(int, w);
    QFETCH(int, h);
    const PreviewSize p = previewSize(w, h);
    QTEST(p.width, "pw");
    QTEST(p.height, "ph");
    QTEST(p.reduced, "reduced");
}

void tst_Rules::trim_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("d");
    QTest::addColumn<QString>("edges"); // u d l r
    QTest::addColumn<QRect>("expected");
    QTest::newRow("top only") << 100 << 80 << 10 << "u" << QRect(0, 10, 100, 70);
    QTest::newRow("all four") << 100 << 80 << 10 << "udlr" << QRect(10, 10, 80, 60);
    QTest::newRow("bottom and right keep the corner") << 100 << 80 << 10 << "dr" << QRect(0, 0, 90, 70);
    QTest::newRow("width 80 both sides 40 leaves 0") << 80 << 50 << 40 << "lr" << QRect(40, 0, 0, 50);
    QTest::newRow("width 81 leaves 1") << 81 << 50 << 40 << "lr" << QRect(40, 0, 1, 50);
    QTest::newRow("left only") << 100 << 80 << 10 << "l" << QRect(10, 0, 90, 80);
}

static Edges edgesFrom(const QString &s)
{
    return {s.contains(u'u'), s.contains(u'd'), s.contains(u'l'), s.contains(u'r')};
}

void tst_Rules::trim()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(int, d);
    QFETCH(QString, edges);
    QFETCH(QRect, expected);
    const Cut c = trimCut(w, h, d, edgesFrom(edges));
    QCOMPARE(QRect(int(c.left), int(c.top), int(c.width), int(c.height)), expected);
    QCOMPARE(c.isEmpty(), expected.width() <= 0 || expected.height() <= 0);
}

void tst_Rules::centre_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<QPoint>("origin");
    QTest::newRow("100x80 to 50x40") << 100 << 80 << 50 << 40 << QPoint(25, 20);
    QTest::newRow("101 to 50: 25.5 rounds to 26") << 101 << 80 << 50 << 80 << QPoint(26, 0);
    QTest::newRow("103 to 50: 26.5 rounds to 26") << 103 << 80 << 50 << 80 << QPoint(26, 0);
    QTest::newRow("1000x800 to 900x700") << 1000 << 800 << 900 << 700 << QPoint(50, 50);
    QTest::newRow("difference 1 gives 0") << 11 << 10 << 10 << 10 << QPoint(0, 0);
    QTest::newRow("difference 3 gives 2") << 13 << 10 << 10 << 10 << QPoint(2, 0);
}

void tst_Rules::centre()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(int, a);
    QFETCH(int, b);
    const Cut c = centreCut(w, h, a, b);
    QTEST(QPoint(int(c.left), int(c.top)), "origin");
    QCOMPARE(c.width, a);
    QCOMPARE(c.height, b);
}

void tst_Rules::shrink_data()
{
    QTest::addColumn<QList<int>>("input"); // E F a b R
    QTest::addColumn<QString>("edges");
    QTest::addColumn<int>("margin");
    QTest::addColumn<QRect>("cut");
    QTest::newRow("equal excess goes to width") << QList<int>{400, 300, 200, 100, 0} << "udlr" << 0 << QRect(0, 50, 400, 200);
    QTest::newRow("640x480 to 320x200 raises to 40") << QList<int>{640, 480, 320, 200, 0} << "udlr" << 40 << QRect(0, 40, 640, 400);
    QTest::newRow("same from 10, left and bottom") << QList<int>{640, 480, 320, 200, 10} << "dl" << 40 << QRect(0, 0, 640, 400);
    QTest::newRow("100x300 to 90x290 ends at 4") << QList<int>{100, 300, 90, 290, 0} << "udlr" << 4 << QRect(4, 2, 92, 296);
    QTest::newRow("107x100 to 2x1") << QList<int>{107, 100, 2, 1, 0} << "udlr" << 24 << QRect(2, 24, 104, 52);
    QTest::newRow("105x100 to 2x1: 0.5 to 0") << QList<int>{105, 100, 2, 1, 0} << "udlr" << 24 << QRect(0, 24, 104, 52);
    QTest::newRow("101x100 to 2x1: 50.5 to 50") << QList<int>{101, 100, 2, 1, 0} << "udlr" << 0 << QRect(0, 25, 101, 50);
    QTest::newRow("300x200 to 300x150 top only") << QList<int>{300, 200, 300, 150, 0} << "ulr" << 0 << QRect(0, 50, 300, 150);
    QTest::newRow("margin 50 stretches up") << QList<int>{400, 300, 390, 290, 50} << "udlr" << 50 << QRect(50, 38, 300, 223);
    QTest::newRow("10x100 to 1x60 refused at 5") << QList<int>{10, 100, 1, 60, 0} << "udlr" << 5 << QRect(5, 20, 0, 0);
    QTest::newRow("margin 60 refused at once") << QList<int>{100, 100, 50, 40, 60} << "udlr" << 60 << QRect(60, 58, -20, -16);
    QTest::newRow("margin 32767 refused") << QList<int>{6000, 4000, 100, 100, 32767} << "udlr" << 32767 << QRect();
    QTest::newRow("extreme proportions stay in range") << QList<int>{3, 32767, 1, 32000, 0} << "udlr" << 1 << QRect(1, 384, 1, 32000);
}

void tst_Rules::shrink()
{
    QFETCH(QList<int>, input);
    QFETCH(QString, edges);
    QFETCH(int, margin);
    QFETCH(QRect, cut);
    const ShrinkPlan p = shrinkPlan(input[0], input[1], input[2], input[3], input[4], edgesFrom(edges));
    QCOMPARE(p.margin, margin);
    if (cut.isNull()) {
        QVERIFY(p.cut.isEmpty());
    } else {
        QCOMPARE(QRect(int(p.cut.left), int(p.cut.top), int(p.cut.width), int(p.cut.height)), cut);
    }
}

void tst_Rules::shrinkSearchIsBounded()
{
    // Every fitting request for small sizes ends inside the image with the
    // requested proportions, or empty; the margin never falls.
    for (int E = 1; E <= 40; ++E)
        for (int F = 1; F <= 40; ++F)
            for (int a = 1; a <= E; a += 3)
                for (int b = 1; b <= F; b += 3) {
                    const ShrinkPlan p = shrinkPlan(E, F, a, b, 0, {true, true, true, true});
                    QVERIFY(p.margin >= 0 && p.margin <= E / 2 + F / 2 + 1);
                    if (!p.cut.isEmpty()) {
                        QVERIFY(p.cut.left >= 0 && p.cut.top >= 0);
                        QVERIFY(p.cut.left + p.cut.width <= E);
                        QVERIFY(p.cut.top + p.cut.height <= F);
                    }
                }
}

// Expected sizes worked out as exact fractions: 6000 x 4000 into 1200
// wide gives 4000 * 1200 / 6000 = 800 high.
void tst_Rules::fitAndPad_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("boxW");
    QTest::addColumn<int>("boxH");
    QTest::addColumn<QSize>("fitted");
    QTest::addColumn<QPoint>("padOrigin"); // where --pad boxW x boxH puts it
    QTest::newRow("landscape into a square") << 6000 << 4000 << 1200 << 1200 << QSize(1200, 800) << QPoint(0, 200);
    QTest::newRow("portrait into a square") << 3000 << 4000 << 1200 << 1200 << QSize(900, 1200) << QPoint(150, 0);
    QTest::newRow("fits already, never enlarged") << 700 << 300 << 1000 << 1000 << QSize(700, 300) << QPoint(150, 350);
    QTest::newRow("same proportions: the box") << 400 << 200 << 200 << 100 << QSize(200, 100) << QPoint(0, 0);
    QTest::newRow("only the height is over") << 500 << 2000 << 1000 << 1000 << QSize(250, 1000) << QPoint(375, 0);
    QTest::newRow("2.5 to even 2") << 100 << 25 << 10 << 10 << QSize(10, 2) << QPoint(0, 4);
    QTest::newRow("3.5 to even 4") << 100 << 35 << 10 << 10 << QSize(10, 4) << QPoint(0, 3);
    QTest::newRow("14.5 to 14, not the double quotient's 15") << 14 << 29 << 7 << 20 << QSize(7, 14) << QPoint(0, 3);
    QTest::newRow("499.5 to 500, leftover 500") << 2000 << 999 << 1000 << 1000 << QSize(1000, 500) << QPoint(0, 250);
    QTest::newRow("498.5 to 498, leftover 502") << 2000 << 997 << 1000 << 1000 << QSize(1000, 498) << QPoint(0, 251);
    QTest::newRow("odd leftover 1 gives 0") << 999 << 1000 << 1000 << 1000 << QSize(999, 1000) << QPoint(0, 0);
    QTest::newRow("odd leftover 3 gives 2") << 997 << 1000 << 1000 << 1000 << QSize(997, 1000) << QPoint(2, 0);
    QTest::newRow("at least 1") << 1000 << 1 << 100 << 100 << QSize(100, 1) << QPoint(0, 50);
    QTest::newRow("width only (Wx)") << 100 << 35 << 10 << 0 << QSize(10, 4) << QPoint();
    QTest::newRow("height only (xH)") << 1000 << 600 << 0 << 300 << QSize(500, 300) << QPoint();
    QTest::newRow("height only, fits already") << 1000 << 200 << 0 << 300 << QSize(1000, 200) << QPoint();
}

void tst_Rules::fitAndPad()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(int, boxW);
    QFETCH(int, boxH);
    QFETCH(QSize, fitted);
    const FrameSize fit = fitSize(w, h, boxW, boxH);
    QCOMPARE(QSize(int(fit.width), int(fit.height)), fitted);
    const FramePlan planned = planFrame(FrameStep{FrameKind::Fit, boxW, boxH}, w, h);
    QCOMPARE(planned.unchanged, fitted == QSize(w, h));
    if (boxW == 0 || boxH == 0)
        return; // --pad needs both sides
    const PadPlacement pad = padPlacement(w, h, boxW, boxH);
    QCOMPARE(QSize(int(pad.fitted.width), int(pad.fitted.height)), fitted);
    QTEST(QPoint(int(pad.left), int(pad.top)), "padOrigin");
    const FramePlan padded = planFrame(FrameStep{FrameKind::Pad, boxW, boxH}, w, h);
    QCOMPARE(QSize(int(padded.canvas.width), int(padded.canvas.height)), QSize(boxW, boxH));
    QCOMPARE(padded.unchanged, QSize(w, h) == QSize(boxW, boxH));
}

void tst_Rules::borderCut_data()
{
    QTest::addColumn<QRect>("content"); // the differing pixels of a 100 x 80 picture
    QTest::addColumn<QString>("edges");
    QTest::addColumn<QRect>("kept");
    QTest::newRow("all edges") << QRect(10, 5, 30, 20) << "tblr" << QRect(10, 5, 30, 20);
    QTest::newRow("top and bottom") << QRect(10, 5, 30, 20) << "tb" << QRect(0, 5, 100, 20);
    QTest::newRow("left only") << QRect(10, 5, 30, 20) << "l" << QRect(10, 0, 90, 80);
    QTest::newRow("right only") << QRect(10, 5, 30, 20) << "r" << QRect(0, 0, 40, 80);
    QTest::newRow("none") << QRect(10, 5, 30, 20) << "" << QRect(0, 0, 100, 80);
    QTest::newRow("one pixel left") << QRect(99, 79, 1, 1) << "tblr" << QRect(99, 79, 1, 1);
    QTest::newRow("all of one colour: all kept") << QRect() << "tblr" << QRect(0, 0, 100, 80);
}

void tst_Rules::borderCut()
{
    QFETCH(QRect, content);
    QFETCH(QString, edges);
    const Edges e{edges.contains(u't'), edges.contains(u'b'), edges.contains(u'l'), edges.contains(u'r')};
    const Cut c = pv::borderCut(100, 80, Cut{content.x(), content.y(), content.width(), content.height()}, e);
    QTEST(QRect(int(c.left), int(c.top), int(c.width), int(c.height)), "kept");
}

void tst_Rules::saveName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("proposed");
    QTest::newRow("jpg") << "/img/a.jpg" << "/img/a.bmp";
    QTest::newRow("windows path") << "C:\\img\\a.jpg" << "C:\\img\\a.bmp";
    QTest::newRow("jpeg keeps its stem") << "cat.jpeg" << "cat.bmp";
    QTest::newRow("tiff") << "photo.tiff" << "photo.bmp";
    QTest::newRow("gif") << "a.gif" << "a.bmp";
    QTest::newRow("BMP unchanged") << "dog.BMP" << "dog.BMP";
    QTest::newRow("Bmp unchanged") << "a.Bmp" << "a.Bmp";
    QTest::newRow("no extension") << "/img/photo" << "/img/photo.bmp";
    QTest::newRow("dot in a folder only") << "/img.d/photo" << "/img.d/photo.bmp";
    QTest::newRow("hidden file") << "/img/.hidden" << "/img/.hidden.bmp";
    QTest::newRow("two dots") << "a.b.png" << "a.b.bmp";
    QTest::newRow("short name") << "ab" << "ab.bmp";
    QTest::newRow("empty stays empty") << "" << "";
}

void tst_Rules::saveName()
{
    QFETCH(QString, name);
    QTEST(proposeSaveName(name), "proposed");
}

void tst_Rules::numCheck_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("digits");
    QTest::newRow("empty") << "" << true;
    QTest::newRow("all digits") << "0123456789" << true;
    QTest::newRow("letter") << "12a" << false;
    QTest::newRow("leading space") << " 1" << false;
    QTest::newRow("minus") << "-1" << false;
    QTest::newRow("decimal") << "1.5" << false;
    QTest::newRow("full-width") << QStringLiteral("１") << false;
    QTest::newRow("Arabic-Indic digit") << QStringLiteral("\u0661") << false;
}

void tst_Rules::numCheck()
{
    QFETCH(QString, text);
    QTEST(fncNumCheck(text), "digits");
}

// Validation rows: kind, the fields, the boxes, the current size, and the
// one expected message (empty for a pass).
void tst_Rules::validation_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QStringList>("fields"); // yoko tate resize dotdel
    QTest::addColumn<QString>("edges");
    QTest::addColumn<QSize>("current");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("icon");
    const QSize s(640, 480);
    const QString none;
    // Not loaded: every kind, even unknown ones.
    for (int kind : {0, 1, 2, 3, 4})
        QTest::addRow("not loaded, kind %d", kind) << kind << QStringList{"1", "1", "0", "10"} << "udlr" << QSize(0, 0) << texts::loadFirst << 16;
    QTest::newRow("loaded, kind 0 silent") << 0 << QStringList{"1", "1", "0", "10"} << "udlr" << s << none << 0;
    QTest::newRow("loaded, kind 4 silent") << 4 << QStringList{"1", "1", "0", "10"} << "udlr" << s << none << 0;

    // Trimming.
    for (const QString &bad : {QString(), QString("  "), QString(" 5"), QString("5 "), QString("+5"), QString("5.0"), QString("1,0"), QStringLiteral("１０")})
        QTest::addRow("trim %s", qPrintable(bad)) << 2 << QStringList{"x", "x", "x", bad} << "udlr" << s << texts::enterNumber << 48;
    QTest::newRow("trim 0") << 2 << QStringList{"", "", "", "0"} << "udlr" << s << texts::zeroOrLess << 48;
    QTest::newRow("trim 000") << 2 << QStringList{"", "", "", "000"} << "udlr" << s << texts::zeroOrLess << 48;
    QTest::newRow("trim no edge") << 2 << QStringList{"", "", "", "10"} << "" << s << texts::noEdgeChecked << 48;
    QTest::newRow("trim right only passes") << 2 << QStringList{"", "", "", "10"} << "r" << s << none << 0;
    QTest::newRow("trim huge passes") << 2 << QStringList{"", "", "", QString(40000, u'9')} << "r" << s << none << 0;

    // Centre crop.
    QTest::newRow("crop same size") << 3 << QStringList{"640", "480", "", ""} << "" << s << texts::sameSize << 48;
    QTest::newRow("crop 00640 same size") << 3 << QStringList{"00640", "480", "", ""} << "" << s << texts::sameSize << 48;
    QTest::newRow("crop 640x479 passes, no boxes needed") << 3 << QStringList{"640", "479", "abc", ""} << "" << s << none << 0;
    QTest::newRow("crop wider") << 3 << QStringList{"641", "100", "", ""} << "" << s << texts::shrinkOnly << 64;
    QTest::newRow("crop zero") << 3 << QStringList{"0", "100", "", ""} << "" << s << texts::zeroOrLess << 48;
    QTest::newRow("crop 99999") << 3 << QStringList{"99999", "100", "", ""} << "" << s << texts::shrinkOnly << 64;
    QTest::newRow("crop beyond a double") << 3 << QStringList{QString(400, u'9'), "100", "", ""} << "" << s << texts::shrinkOnly << 64;
    QTest::newRow("crop longer than 32767 chars") << 3 << QStringList{QString(40000, u'1'), "100", "", ""} << "" << s << texts::shrinkOnly << 64;
    QTest::newRow("crop against current size") << 3 << QStringList{"630", "400", "", ""} << "" << QSize(620, 460) << texts::shrinkOnly << 64;
    QTest::newRow("crop blank height") << 3 << QStringList{"10", " ", "", ""} << "" << s << texts::enterNumber << 48;
    QTest::newRow("crop equality before zero") << 3 << QStringList{"0", "0", "", ""} << "" << QSize(0, 5) << texts::zeroOrLess << 48;

    // Shrinking.
    QTest::newRow("shrink empty margin") << 1 << QStringList{"320", "200", "", ""} << "udlr" << s << texts::enterNumber << 48;
    QTest::newRow("shrink margin 0 passes") << 1 << QStringList{"320", "200", "0", ""} << "udlr" << s << none << 0;
    QTest::newRow("shrink same size") << 1 << QStringList{"640", "480", "0", ""} << "udlr" << s << texts::sameSize << 48;
    QTest::newRow("shrink no box: top/bottom first") << 1 << QStringList{"320", "200", "0", ""} << "" << s << texts::checkUpDown << 64;
    QTest::newRow("shrink no left/right") << 1 << QStringList{"320", "200", "0", ""} << "ud" << s << texts::checkLeftRight << 64;
    QTest::newRow("shrink up, down and left pass") << 1 << QStringList{"320", "200", "0", ""} << "udl" << s << none << 0;
    QTest::newRow("shrink sizes before boxes") << 1 << QStringList{"700", "200", "0", ""} << "" << s << texts::shrinkOnly << 64;
    QTest::newRow("shrink margin not digits") << 1 << QStringList{"320", "200", "-1", ""} << "udlr" << s << texts::enterNumber << 48;
}

void tst_Rules::validation()
{
    QFETCH(int, kind);
    QFETCH(QStringList, fields);
    QFETCH(QString, edges);
    QFETCH(QSize, current);
    QFETCH(QString, message);
    QFETCH(int, icon);
    Entries e;
    e.motoYokoCaption = QString::number(current.width());
    e.motoTateCaption = QString::number(current.height());
    e.yoko = fields[0];
    e.tate = fields[1];
    e.reSizeValue = fields[2];
    e.dotDelValue = fields[3];
    e.edges = edgesFrom(edges);
    e.editYoko = current.width();
    e.editTate = current.height();
    // A number no button passes names no edit, so no check can run for it.
    const std::optional<EditKind> editKind = editKindOf(kind);
    QCOMPARE(editKind.has_value(), kind >= 1 && kind <= 3);
    if (!editKind)
        return;
    const Checked<void> r = fncInputCheck(*editKind, e);
    if (message.isEmpty()) {
        QVERIFY2(r.ok(), qPrintable(r.ok() ? QString() : r.reason().message.text));
    } else {
        QVERIFY(!r.ok());
        QCOMPARE(r.reason().message.text, message);
        QCOMPARE(r.reason().message.title, QStringLiteral("Error"));
        QCOMPARE(int(r.reason().message.icon), icon);
        // Callers decide by the code, which goes with the message.
        using Code = Refusal::Code;
        const QHash<QString, Code> codes{{texts::loadFirst, Code::NotLoaded},     {texts::enterNumber, Code::NotANumber},
                                         {texts::sameSize, Code::SameSize},       {texts::zeroOrLess, Code::NotPositive},
                                         {texts::shrinkOnly, Code::NotSmaller},   {texts::checkUpDown, Code::NoUpOrDown},
                                         {texts::checkLeftRight, Code::NoLeftOrRight}, {texts::noEdgeChecked, Code::NoEdge}};
        QVERIFY(codes.contains(message));
        QCOMPARE(int(r.reason().code), int(codes.value(message)));
    }
}

void tst_Rules::capture_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("leading zeros") << "0010" << 10;
    QTest::newRow("plain") << "320" << 320;
    QTest::newRow("32767") << "32767" << 32767;
    QTest::newRow("32768 held at 32767") << "32768" << 32767;
    QTest::newRow("huge held at 32767") << QString(500, u'9') << 32767;
    QTest::newRow("letters give 0") << "abc" << 0;
    QTest::newRow("empty gives 0") << "" << 0;
}

void tst_Rules::capture()
{
    QFETCH(QString, text);
    QTEST(int(captureValue(text)), "value");
}

QTEST_APPLESS_MAIN(tst_Rules)
#include "tst_rules.moc"
