// The batch command's command line: the exact line each mistake gets, and
// what a good line asks for.
#include "batch/optionrules.h"

#include <QTest>

using namespace pv;
using namespace pv::batch;

class tst_Options : public QObject {
    Q_OBJECT
private slots:
    void errors_data();
    void errors();
    void steps();
    void frameSteps();
    void joinedShortOptions();
    void helpListsEveryOption();
};

void tst_Options::errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    const QStringList out{"-o", "out", "a.jpg"};
    QTest::newRow("trim 0") << (QStringList{"--trim", "0"} + out) << "--trim: '0' is not a number of pixels from 1 to 32767";
    QTest::newRow("trim full-width") << (QStringList{"--trim=１０"} + out) << "--trim: '１０' is not a number of pixels from 1 to 32767";
    QTest::newRow("crop without height") << (QStringList{"--crop", "320"} + out) << "--crop: '320' is not a size WxH, each from 1 to 32767";
    QTest::newRow("shrink 32768 wide") << (QStringList{"--shrink", "32768x1"} + out) << "--shrink: '32768x1' is not a size WxH, each from 1 to 32767";
    QTest::newRow("margin negative") << (QStringList{"--margin", "-1"} + out) << "--margin: '-1' is not a number of pixels from 0 to 32767";
    QTest::newRow("bad edge") << (QStringList{"--edges", "top,middle"} + out) << "--edges: 'top,middle' is not a list of top, bottom, left, right, or all or none";
    QTest::newRow("format") << (QStringList{"--format", "tga"} + out) << "--format: 'tga' is not bmp, png, jpeg, webp, avif or jxl";
    QTest::newRow("lossless AVIF") << (QStringList{"--format=avif", "--lossless"} + out) << "--lossless: avif is not written losslessly; webp and jxl are";
    QTest::newRow("lossless BMP") << (QStringList{"--lossless"} + out) << "--lossless: bmp is not written losslessly; webp and jxl are";
    QTest::newRow("lossless JPEG save") << (QStringList{"--format", "jpeg", "--lossless", "--save", "big", "--format", "webp", "--save", "small"} + out)
                                        << "--lossless: jpg is not written losslessly; webp and jxl are";
    QTest::newRow("name with a folder") << (QStringList{"--name", "../{name}"} + out) << "--name: '../{name}' is not a file name made of text, {name}, {w} and {h}";
    QTest::newRow("name unknown placeholder") << (QStringList{"--name", "{name}-{q}"} + out) << "--name: '{name}-{q}' is not a file name made of text, {name}, {w} and {h}";
    QTest::newRow("subsampling 422") << (QStringList{"--subsampling", "422"} + out) << "--subsampling: '422' is not 420 or 444";
    QTest::newRow("max-size kB") << (QStringList{"--format", "jpeg", "--max-size", "100kB"} + out) << "--max-size: '100kB' is not a number of bytes (k: 1000, M: 1000000)";
    QTest::newRow("max-size PNG") << (QStringList{"--format", "png", "--max-size", "100k"} + out) << "--max-size: png is not written at a quality; jpeg, webp, avif and jxl are";
    QTest::newRow("max-size lossless") << (QStringList{"--format", "jxl", "--lossless", "--max-size", "1M"} + out) << "--max-size: a lossless file is not written at a quality; jpeg, webp, avif and jxl are";
    QTest::newRow("keep profile in BMP") << (QStringList{"--keep-metadata", "profile"} + out) << "--keep-metadata: bmp keeps no profile; png, jpeg, webp, avif and jxl do";
    QTest::newRow("keep gps") << (QStringList{"--keep-metadata", "rights,gps"} + out) << "--keep-metadata: 'rights,gps' is not a list of rights, date, profile, or none";
    QTest::newRow("save outside") << (QStringList{"--save", "../elsewhere"} + out) << "--save: '../elsewhere' is not a folder inside the output folder";
    QTest::newRow("the same save twice") << (QStringList{"--save", "thumbs", "--shrink", "9x9", "--save", "thumbs/."} + out)
                                         << "--save: 'thumbs' is given twice for bmp files; the second would write the first's";
    QTest::newRow("fit 0x10") << (QStringList{"--fit", "0x10"} + out) << "--fit: '0x10' is not a size WxH, Wx or xH, each from 1 to 32767";
    QTest::newRow("fit x") << (QStringList{"--fit", "x"} + out) << "--fit: 'x' is not a size WxH, Wx or xH, each from 1 to 32767";
    QTest::newRow("pad 10") << (QStringList{"--pad", "10"} + out) << "--pad: '10' is not a size WxH, each from 1 to 32767";
    QTest::newRow("pad one side") << (QStringList{"--pad", "10x"} + out) << "--pad: '10x' is not a size WxH, each from 1 to 32767";
    QTest::newRow("unknown colour") << (QStringList{"--background", "pink"} + out) << "--background: 'pink' is not white, black, #rrggbb or transparent";
    QTest::newRow("short hex colour") << (QStringList{"--background", "#fff"} + out) << "--background: '#fff' is not white, black, #rrggbb or transparent";
    QTest::newRow("trim-border 256") << (QStringList{"--trim-border", "256"} + out) << "--trim-border: '256' is not a number of levels from 0 to 255";
    QTest::newRow("trim-border negative") << (QStringList{"--trim-border", "-1"} + out) << "--trim-border: '-1' is not a number of levels from 0 to 255";
    QTest::newRow("transparent BMP") << (QStringList{"--background", "transparent"} + out)
                                     << "--background transparent: bmp keeps no transparency; png, webp and avif do";
    QTest::newRow("transparent JPEG save") << (QStringList{"--background=transparent", "--format", "jpeg", "--save", "a", "--format", "png", "--save", "b"} + out)
                                           << "--background transparent: jpg keeps no transparency; png, webp and avif do";
    QTest::newRow("quality 0") << (QStringList{"--quality", "0"} + out) << "--quality: '0' is not a number from 1 to 100";
    QTest::newRow("jobs") << (QStringList{"-j", "0"} + out) << "-j: '0' is not a number of jobs from 1 to 1024";
    QTest::newRow("flag with a value") << (QStringList{"--fast=yes"} + out) << "--fast takes no value";
    QTest::newRow("value missing") << QStringList{"-o", "out", "a.jpg", "--margin"} << "--margin needs a value";
    QTest::newRow("unknown") << (QStringList{"--sharpen"} + out) << "unknown option '--sharpen'";
    QTest::newRow("empty output") << QStringList{"--output=", "a.jpg"} << "--output: the output folder is empty";
    QTest::newRow("no output") << QStringList{"a.jpg"} << "no output folder: give one with -o OUTDIR";
    QTest::newRow("no input") << QStringList{"-o", "out"} << "no input: give picture files or folders, or --files-from";
}

void tst_Options::errors()
{
    QFETCH(QStringList, arguments);
    const Attempt<Command> parsed = parseArguments(arguments);
    QVERIFY(!parsed.ok());
    QTEST(parsed.reason(), "error");
}

// Each edit option types its values into the fields its button reads and
// clicks it; --edges and --margin only set.
void tst_Options::steps()
{
    const Attempt<Command> parsed = parseArguments(
        {"--edges", "left,bottom", "--margin=7", "--shrink", "0320X240", "--trim", "5", "--crop=30x20", "-o", "out", "--", "-a.jpg"});
    QVERIFY(parsed.ok());
    const Options &o = parsed->options;
    QCOMPARE(o.inputs, QStringList{"-a.jpg"});
    QCOMPARE(o.steps.size(), size_t(5));
    const Step &edges = o.steps[0], &margin = o.steps[1], &shrink = o.steps[2], &trim = o.steps[3], &crop = o.steps[4];
    const auto *boxes = std::get_if<EdgesStep>(&edges.kind);
    QVERIFY(boxes && !edges.edit());
    QVERIFY(!boxes->edges.up && boxes->edges.down && boxes->edges.left && !boxes->edges.right);
    const auto *typed = std::get_if<MarginStep>(&margin.kind);
    QVERIFY(typed && !margin.edit());
    QCOMPARE(typed->margin, QStringLiteral("7"));
    QVERIFY(shrink.edit() && shrink.edit()->kind == EditKind::Shrink);
    QCOMPARE(shrink.edit()->width, QStringLiteral("0320")); // as typed, as a field keeps it
    QCOMPARE(shrink.edit()->height, QStringLiteral("240"));
    QCOMPARE(shrink.given, QStringLiteral("--shrink 0320X240"));
    QVERIFY(trim.edit() && trim.edit()->kind == EditKind::Trim);
    QCOMPARE(trim.edit()->pixels, QStringLiteral("5"));
    QVERIFY(crop.edit() && crop.edit()->kind == EditKind::CentreCrop);
    QCOMPARE(crop.given, QStringLiteral("--crop 30x20"));
    Fields f;
    for (const Step &s : o.steps)
        s.typeInto(f);
    QCOMPARE(f.yoko, QStringLiteral("30"));
    QCOMPARE(f.dotDelValue, QStringLiteral("5"));
    QCOMPARE(f.reSizeValue, QStringLiteral("7"));
}

// The framing steps in order, the box's missing side 0, and every canvas
// of the run's background, however late it is given.
void tst_Options::frameSteps()
{
    const Attempt<Command> parsed = parseArguments({"--trim-border", "8", "--fit", "x300", "--pad=1000X1000",
                                                    "--background", "#A0b1C2", "--format", "png", "-o", "out", "a.png"});
    QVERIFY(parsed.ok());
    const Options &o = parsed->options;
    QCOMPARE(o.steps.size(), size_t(3));
    QCOMPARE(o.background, std::optional<QRgb>(0xffa0b1c2));
    const FrameStep &trim = *o.steps[0].frame(), &fit = *o.steps[1].frame(), &pad = *o.steps[2].frame();
    QVERIFY(trim.kind == FrameKind::TrimBorder && trim.threshold == 8);
    QVERIFY(fit.kind == FrameKind::Fit && fit.width == 0 && fit.height == 300);
    QVERIFY(pad.kind == FrameKind::Pad && pad.width == 1000 && pad.height == 1000);
    QCOMPARE(pad.background, 0xffa0b1c2u);
    QCOMPARE(o.steps[2].given, QStringLiteral("--pad 1000X1000"));
    const Attempt<Command> plain = parseArguments({"--pad", "10x10", "-o", "out", "a.png"});
    QVERIFY(plain.ok() && !plain->options.background);
    QCOMPARE(plain->options.steps[0].frame()->background, 0xfff0f0f0u); // the window's grey
}

void tst_Options::joinedShortOptions()
{
    const Attempt<Command> parsed = parseArguments({"-rqj3", "-oout", "a.jpg"});
    QVERIFY(parsed.ok());
    QVERIFY(parsed->options.recursive && parsed->options.quiet);
    QCOMPARE(parsed->options.workers, 3);
    QCOMPARE(parsed->options.outputDir, QStringLiteral("out"));
}

// The help is built from the option rows: each option starts a line of
// it, with its value, and the parser takes it by that spelling.
void tst_Options::helpListsEveryOption()
{
    const QString help = helpText();
    QStringList spelled;
    for (const EditDescription &d : kEdits)
        spelled << QStringLiteral("      --%1 %2").arg(QLatin1String(d.option.data(), qsizetype(d.option.size())),
                                                     d.input == EditInput::Pixels ? "N" : "WxH");
    for (const OptionRule &rule : optionRules()) {
        QString left = rule.shortName.isEmpty() ? QStringLiteral("      ") : QStringLiteral("  %1, ").arg(rule.shortName);
        left += rule.longName.toString();
        if (!rule.valueName.isEmpty())
            left += u' ' + rule.valueName.toString();
        spelled << left;
        QVERIFY2(!rule.help.isEmpty(), qPrintable(rule.longName.toString()));
        // Known to the parser: a flag refuses a value, an option asks for one.
        const QString name = rule.longName.toString();
        if (!rule.apply)
            continue;
        const Attempt<Command> parsed = parseArguments(rule.valueName.isEmpty() ? QStringList{name + QStringLiteral("=1")} : QStringList{name});
        QVERIFY(!parsed.ok());
        QCOMPARE(parsed.reason(), name + (rule.valueName.isEmpty() ? QStringLiteral(" takes no value") : QStringLiteral(" needs a value")));
    }
    for (const QString &left : spelled)
        QVERIFY2(help.contains(u'\n' + left + u' ') || help.contains(u'\n' + left + u'\n'), qPrintable(left));
}

QTEST_APPLESS_MAIN(tst_Options)
#include "tst_options.moc"
