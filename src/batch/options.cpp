#include "batch/options.h"

#include "files/metadata.h"
#include "input/validation.h"
#include "surfaces/worksurfaces.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>

#include <algorithm>

namespace pv::batch {

namespace {

// A plain ASCII number within [low, high], as the window accepts a field's
// text (leading zeros count for nothing).
bool numberWithin(const QString &text, int low, int high)
{
    return !text.isEmpty() && fncNumCheck(text) && compareDigits(text, low) >= 0 && compareDigits(text, high) <= 0;
}

// "WxH", each side a number within [1, 32767].
std::optional<std::pair<QString, QString>> size(const QString &text)
{
    const qsizetype x = text.indexOf(u'x', 0, Qt::CaseInsensitive);
    if (x < 0)
        return std::nullopt;
    const QString w = text.left(x), h = text.mid(x + 1);
    if (!numberWithin(w, 1, 32767) || !numberWithin(h, 1, 32767))
        return std::nullopt;
    return std::make_pair(w, h);
}

std::optional<Edges> edges(const QString &text)
{
    if (text == u"all")
        return Edges{true, true, true, true};
    if (text == u"none")
        return Edges{};
    Edges e;
    for (const QString &name : text.split(u',')) {
        if (name == u"top")
            e.up = true;
        else if (name == u"bottom")
            e.down = true;
        else if (name == u"left")
            e.left = true;
        else if (name == u"right")
            e.right = true;
        else
            return std::nullopt;
    }
    return e;
}

// One line a --help option: the option and its value in 24 columns, then
// its text, continued 26 columns in.
QString editsHelp()
{
    QString out;
    for (const EditDescription &d : kEdits) {
        QString left = QStringLiteral("      --") + QLatin1String(d.option.data(), qsizetype(d.option.size())) +
                       (d.input == EditInput::Pixels ? QStringLiteral(" N") : QStringLiteral(" WxH"));
        left = left.leftJustified(24);
        const QString text = QString::fromUtf8(d.help.data(), qsizetype(d.help.size()));
        out += left + text.split(u'\n').join(QStringLiteral("\n                          ")) + u'\n';
    }
    return out;
}

// The extensions of a folder's pictures, filling the line they start on
// after "inside it (" and going on at the start of the next.
QString extensionsHelp()
{
    QString out;
    qsizetype column = 11;
    for (const QString &e : pictureExtensions()) {
        const bool first = out.isEmpty();
        if (!first && column + 1 + e.size() > 72)
            out += u'\n', column = 0;
        else if (!first)
            out += u' ', ++column;
        out += e;
        column += e.size();
    }
    return out;
}

} // namespace

QString helpText()
{
    return QStringLiteral(R"(Usage: pixelvane-batch [OPTION]... -o OUTDIR INPUT...
Apply Pixelvane's edits to many pictures and write the results to OUTDIR.

INPUT is a picture file or a folder; a folder gives the pictures directly
inside it (%2, in any case). Each
picture is decoded by its content, edited as the Pixelvane window would
edit it, and written under its own name with the output format's extension.

Edits, run in the order given, each as its button in the window runs it:
%1      --edges LIST      the edges the following trims, shrinks and border
                          trims use: top,bottom,left,right (any of them),
                          all, none; all at the start
      --margin M        the margin the following shrinks start from (削除値);
                          0 at the start. A shrink leaves the margin it ended
                          with for the next shrink of the same picture.
      --fit WxH         scale the whole picture, nothing cut, to the largest
                          size within W x H that keeps its proportions (Wx
                          or xH: a limit on one side only); never enlarged
      --pad WxH         fit into W x H as --fit does, then centre it on a
                          W x H canvas of the background colour
      --trim-border T   cut off the border of one colour: the rows and
                          columns, from the edges --edges chose, within T
                          levels (0 to 255) of the top-left pixel; never all
                          of the picture. Decodes the picture whole
      --background COLOUR
                        what transparency is laid over and --pad fills
                        with: white, black, #rrggbb, or transparent to keep
                        alpha (png, webp and avif only); the window's light
                        grey (#f0f0f0) if not given
With no edit, pictures are only converted. An edit refused only because the
picture already has the size asked for leaves it as it is, and the run goes
on, as the window's user would simply save. So does a fit, a pad or a border
trim that would change nothing; the report notes it.

Input and output:
  -o, --output DIR      write the results into DIR (made if missing)
  -r, --recursive       take pictures in subfolders too, mirrored under DIR
      --files-from FILE
                        read more inputs from FILE, one a line ('-' for
                        standard input)
  -0, --null            inputs in --files-from end with NUL, not newline
                          (as find -print0 writes them)
      --format FORMAT   bmp (the default: 24-bit, as the window saves), png,
                          jpeg, webp (at most 16383 pixels a side), avif or
                          jxl (JPEG XL), for the saves after it and the end
                          of the sequence
      --quality Q       quality of JPEG, WebP, AVIF and JPEG XL, 1 to 100
                          (default: JPEG 90, WebP 80, AVIF 60, JPEG XL 90);
                          JPEG XL's distance is 0.1 + (100 - Q) * 0.09 from
                          Q 30 up (Q 90: 1.0), rising to at most 15 below
      --lossless        WebP or JPEG XL keeping every pixel exactly (not
                          offered for AVIF, whose encoder moves some pixels
                          a level)
      --name TEMPLATE   name the files of the saves after it and the end of
                          the sequence by TEMPLATE: {name} the input's name
                          without its extension, {w} and {h} the written
                          picture's size; the format's extension is added
      --progressive     write progressive JPEG
      --subsampling S   JPEG colour resolution: 420 (the default, halved
                          both ways) or 444 (whole, for text and line art)
      --max-size BYTES  JPEG, WebP, AVIF and JPEG XL: the highest quality up
                          to --quality whose file takes at most BYTES (k is
                          1000, M 1000000); a picture that does not fit even
                          at quality 1 fails
      --keep-metadata LIST
                        keep what LIST names of each input's metadata:
                          rights (EXIF Artist and Copyright, or XMP
                          dc:creator and dc:rights), date (EXIF
                          DateTimeOriginal), profile (the ICC profile, the
                          pixels left in its colours; not for bmp), none
                          (the default).
                          Never the GPS position, maker notes, camera make
                          and model, or thumbnails
      --save DIR        a step: write the picture as it stands into DIR
                          (inside OUTDIR), in the format and quality given
                          before it; the steps after it go on from it. With
                          any --save, only the saves write
      --overwrite       replace outputs that exist (otherwise one this
                          program made is made again only when its input,
                          its steps or the file itself changed, and any
                          other file is skipped); an input is never replaced
  -n, --dry-run         read the headers and tell what would be written, made
                          again, skipped or refused, and why, on standard
                          output (and in the report); nothing is made,
                          changed or removed
      --fast            decode JPEG pictures at a reduced size where a
                          shrink makes it possible; faster, but its pixels
                          differ from the window's: slightly for photos,
                          much for fine stripes, fabric and screens
  -j, --jobs N          pictures at a time (default: one per processor)
  -q, --quiet           no progress line
      --report FILE     write one JSON line per input to FILE ('-' for
                          standard output); an existing FILE is replaced
                          only if it is empty or a report
  -h, --help            show this help and exit
      --version         show the version and exit

Examples:
  pixelvane-batch --trim 10 -o trimmed photos/
      cut 10 pixels off every edge of each picture in photos/
  pixelvane-batch --edges top,bottom --trim 20 -o out scan.bmp
      cut 20 pixels off the top and the bottom only
  pixelvane-batch --crop 4000x3000 --format jpeg --quality 90 -o out photos/
      keep the middle 4000 x 3000 pixels, written as JPEG
  pixelvane-batch --shrink 320x240 -o thumbs -r shop/
      thumbnails of exactly 320 x 240 for every picture under shop/
  pixelvane-batch --edges left,bottom --margin 10 --shrink 1920x1080 -o out a.jpg
      a 1920 x 1080 banner, cut from the left and the bottom first
  pixelvane-batch --format webp --shrink 1200x1200 --save large --shrink 600x600 --save medium --shrink 160x160 --save small -o out shop/
      three sizes of WebP from one decode of each picture
  pixelvane-batch --fit 1200x1200 --format webp -o web photos/
      longest side at most 1200, whatever the shape
  pixelvane-batch --trim-border 8 --pad 1000x1000 --background white --format jpeg -o shop products/
      the whole product, its studio border cut, on a white 1000 x 1000 square
  pixelvane-batch --fit 256x256 --background transparent --format png -o icons art/
      icons of at most 256 x 256 that keep their transparency
  pixelvane-batch --edges top,bottom --trim-border 20 -o out scans/
      cut the white rows a scanner left above and below, within 20 levels
  pixelvane-batch --format webp --name '{name}-{w}x{h}' --shrink 1200x900 --save web --shrink 600x450 --save web --shrink 160x120 --save web -o out shop/
      a responsive set in one folder: photo-1200x900.webp,
      photo-600x450.webp and photo-160x120.webp for a srcset
  pixelvane-batch --format jpeg --max-size 100k --keep-metadata rights,date -o out photos/
      JPEGs of at most 100000 bytes, keeping the photographer's name,
      copyright and the date taken
  find shop -name '*.jpg' -print0 | pixelvane-batch -0 --files-from - --shrink 320x240 -o thumbs

A rerun skips an output this program made whose input and steps are
unchanged and that still matches its record (kept in an extended
attribute), and makes again one whose input, steps or bytes changed; a
file without a record is skipped unless --overwrite.

Exit status: 0 when every picture was written (or skipped, as its output
existed), 1 when any was refused or failed, 2 for a bad command line,
130 when interrupted.

Environment (testing aids):
  PIXELVANE_DECODER          the program that decodes HEIF, AVIF and the
                             formats of Qt's plugins in a child process
                             (default: pixelvane-decode, beside the program
                             or in its libexec folder)
  PIXELVANE_DECODER_SECONDS  that child's limit of processor time for each
                             picture (default: 10 s and 1 s a megapixel;
                             it is ended at three times that in any case)
)")
        .arg(editsHelp(), extensionsHelp());
}

namespace {

// Short options written together: "-rq" is "-r -q", "-j4" is "-j 4".
QStringList separateShortOptions(const QStringList &arguments)
{
    QStringList out;
    bool optionsEnded = false;
    for (const QString &arg : arguments) {
        if (optionsEnded || arg.size() <= 2 || arg[0] != u'-' || arg[1] == u'-') {
            optionsEnded = optionsEnded || arg == u"--";
            out << arg;
            continue;
        }
        for (qsizetype i = 1; i < arg.size(); ++i) {
            const QChar c = arg[i];
            out << QStringLiteral("-") + c;
            if (c == u'o' || c == u'j') {
                if (i + 1 < arg.size())
                    out << arg.mid(i + 1);
                break;
            }
        }
    }
    return out;
}

// What an option does with its value (or with nothing, for a flag): an
// error line when the value will not do.
using Apply = std::optional<QString> (*)(Options &, const QString &name, const QString &value);

struct OptionRule {
    QStringView longName;  // "--output"
    QStringView shortName; // "-o", or empty
    bool takesValue;
    Apply apply;
};

template <bool Options::*flag>
std::optional<QString> setFlag(Options &o, const QString &, const QString &)
{
    o.*flag = true;
    return std::nullopt;
}

std::optional<QString> output(Options &o, const QString &name, const QString &v)
{
    if (v.isEmpty())
        return name + QStringLiteral(": the output folder is empty");
    o.outputDir = v;
    return std::nullopt;
}

std::optional<QString> filesFrom(Options &o, const QString &, const QString &v)
{
    o.filesFrom << v;
    return std::nullopt;
}

std::optional<QString> report(Options &o, const QString &, const QString &v)
{
    o.reportPath = v;
    return std::nullopt;
}

std::optional<QString> edgesStep(Options &o, const QString &name, const QString &v)
{
    const auto e = edges(v);
    if (!e)
        return QStringLiteral("--edges: '%1' is not a list of top, bottom, left, right, or all or none").arg(v);
    Step step;
    step.given = name + u' ' + v;
    step.edges = *e;
    o.steps.push_back(step);
    return std::nullopt;
}

std::optional<QString> marginStep(Options &o, const QString &name, const QString &v)
{
    if (!numberWithin(v, 0, 32767))
        return QStringLiteral("--margin: '%1' is not a number of pixels from 0 to 32767").arg(v);
    Step step;
    step.given = name + u' ' + v;
    step.reSizeValue = v;
    o.steps.push_back(step);
    return std::nullopt;
}

std::optional<QString> format(Options &o, const QString &, const QString &v)
{
    const std::optional<ImageFormat> named = formatNamed(v);
    if (!named)
        return QStringLiteral("--format: '%1' is not %2").arg(v, formatNames());
    o.output.format = *named;
    return std::nullopt;
}

std::optional<QString> quality(Options &o, const QString &, const QString &v)
{
    if (!numberWithin(v, 1, 100))
        return QStringLiteral("--quality: '%1' is not a number from 1 to 100").arg(v);
    o.output.quality = v.toInt();
    return std::nullopt;
}

std::optional<QString> lossless(Options &o, const QString &, const QString &)
{
    o.output.lossless = true;
    return std::nullopt;
}

// A file name with no folder in it, whose only braces are {name}, {w}
// and {h}.
std::optional<QString> nameTemplate(Options &o, const QString &name, const QString &v)
{
    QString rest = v;
    for (const char *placeholder : {"{name}", "{w}", "{h}"})
        rest.remove(QLatin1String(placeholder));
    if (v.isEmpty() || v.contains(u'/') || rest.contains(u'{') || rest.contains(u'}'))
        return QStringLiteral("%1: '%2' is not a file name made of text, {name}, {w} and {h}").arg(name, v);
    o.output.name = v;
    return std::nullopt;
}

std::optional<QString> progressive(Options &o, const QString &, const QString &)
{
    o.output.progressive = true;
    return std::nullopt;
}

std::optional<QString> subsampling(Options &o, const QString &name, const QString &v)
{
    if (v != u"420" && v != u"444")
        return QStringLiteral("%1: '%2' is not 420 or 444").arg(name, v);
    o.output.fullChroma = v == u"444";
    return std::nullopt;
}

// A number of bytes, with k for thousands or M for millions.
std::optional<QString> maxSize(Options &o, const QString &name, const QString &v)
{
    QString digits = v;
    qint64 unit = 1;
    if (v.endsWith(u'k'))
        unit = 1000, digits.chop(1);
    else if (v.endsWith(u'M'))
        unit = 1000 * 1000, digits.chop(1);
    if (!numberWithin(digits, 1, 1000 * 1000 * 1000) || digits.toLongLong() * unit > qint64(1) << 40)
        return QStringLiteral("%1: '%2' is not a number of bytes (k: 1000, M: 1000000)").arg(name, v);
    o.output.maxBytes = digits.toLongLong() * unit;
    return std::nullopt;
}

std::optional<QString> keepMetadata(Options &o, const QString &name, const QString &v)
{
    unsigned keep = 0;
    for (const QString &what : v.split(u',')) {
        if (what == u"rights")
            keep |= KeepRights;
        else if (what == u"date")
            keep |= KeepDate;
        else if (what == u"profile")
            keep |= KeepProfile;
        else if (what != u"none")
            return QStringLiteral("%1: '%2' is not a list of rights, date, profile, or none").arg(name, v);
    }
    o.keepMetadata = keep;
    return std::nullopt;
}

// A folder inside the output folder: relative, and not climbing out.
std::optional<QString> saveStep(Options &o, const QString &name, const QString &v)
{
    const QString folder = QDir::cleanPath(v);
    if (v.isEmpty() || QDir::isAbsolutePath(v) || folder == u".." || folder.startsWith(u"../"))
        return QStringLiteral("%1: '%2' is not a folder inside the output folder").arg(name, v);
    Step step;
    step.given = name + u' ' + v;
    step.save = Save{folder, o.output};
    o.steps.push_back(step);
    return std::nullopt;
}

std::optional<QString> workers(Options &o, const QString &name, const QString &v)
{
    if (!numberWithin(v, 1, 1024))
        return QStringLiteral("%1: '%2' is not a number of jobs from 1 to 1024").arg(name, v);
    o.workers = v.toInt();
    return std::nullopt;
}

// "WxH", "Wx" or "xH": a side left out sets no limit (0).
std::optional<std::pair<int, int>> box(const QString &text)
{
    const qsizetype x = text.indexOf(u'x', 0, Qt::CaseInsensitive);
    if (x < 0)
        return std::nullopt;
    const QString w = text.left(x), h = text.mid(x + 1);
    if ((w.isEmpty() && h.isEmpty()) || (!w.isEmpty() && !numberWithin(w, 1, 32767)) ||
        (!h.isEmpty() && !numberWithin(h, 1, 32767)))
        return std::nullopt;
    return std::make_pair(w.isEmpty() ? 0 : w.toInt(), h.isEmpty() ? 0 : h.toInt());
}

std::optional<QString> frameStep(Options &o, const QString &name, const QString &v, const FrameStep &frame)
{
    Step step;
    step.given = name + u' ' + v;
    step.frame = frame;
    o.steps.push_back(step);
    return std::nullopt;
}

std::optional<QString> fitStep(Options &o, const QString &name, const QString &v)
{
    const auto b = box(v);
    if (!b)
        return QStringLiteral("%1: '%2' is not a size WxH, Wx or xH, each from 1 to 32767").arg(name, v);
    return frameStep(o, name, v, FrameStep{FrameKind::Fit, b->first, b->second});
}

std::optional<QString> padStep(Options &o, const QString &name, const QString &v)
{
    const auto wh = size(v);
    if (!wh)
        return QStringLiteral("%1: '%2' is not a size WxH, each from 1 to 32767").arg(name, v);
    return frameStep(o, name, v, FrameStep{FrameKind::Pad, wh->first.toInt(), wh->second.toInt()});
}

std::optional<QString> trimBorderStep(Options &o, const QString &name, const QString &v)
{
    if (!numberWithin(v, 0, 255))
        return QStringLiteral("%1: '%2' is not a number of levels from 0 to 255").arg(name, v);
    FrameStep frame{FrameKind::TrimBorder};
    frame.threshold = v.toInt();
    return frameStep(o, name, v, frame);
}

// white, black, #rrggbb or transparent (alpha 0).
std::optional<QString> background(Options &o, const QString &name, const QString &v)
{
    static const QRegularExpression hex(QStringLiteral("^#[0-9a-fA-F]{6}$"));
    if (v == u"white")
        o.background = 0xffffffff;
    else if (v == u"black")
        o.background = 0xff000000;
    else if (v == u"transparent")
        o.background = 0x00000000;
    else if (hex.match(v).hasMatch())
        o.background = 0xff000000u | v.mid(1).toUInt(nullptr, 16);
    else
        return QStringLiteral("%1: '%2' is not white, black, #rrggbb or transparent").arg(name, v);
    return std::nullopt;
}

// Every option but the edits, which come from kEdits, and --help and
// --version.
constexpr OptionRule kOptions[] = {
    {u"--output", u"-o", true, output},
    {u"--recursive", u"-r", false, setFlag<&Options::recursive>},
    {u"--files-from", u"", true, filesFrom},
    {u"--null", u"-0", false, setFlag<&Options::nulSeparated>},
    {u"--edges", u"", true, edgesStep},
    {u"--margin", u"", true, marginStep},
    {u"--fit", u"", true, fitStep},
    {u"--pad", u"", true, padStep},
    {u"--trim-border", u"", true, trimBorderStep},
    {u"--background", u"", true, background},
    {u"--format", u"", true, format},
    {u"--quality", u"", true, quality},
    {u"--lossless", u"", false, lossless},
    {u"--name", u"", true, nameTemplate},
    {u"--progressive", u"", false, progressive},
    {u"--subsampling", u"", true, subsampling},
    {u"--max-size", u"", true, maxSize},
    {u"--keep-metadata", u"", true, keepMetadata},
    {u"--save", u"", true, saveStep},
    {u"--overwrite", u"", false, setFlag<&Options::overwrite>},
    {u"--fast", u"", false, setFlag<&Options::fast>},
    {u"--dry-run", u"-n", false, setFlag<&Options::dryRun>},
    {u"--jobs", u"-j", true, workers},
    {u"--quiet", u"-q", false, setFlag<&Options::quiet>},
    {u"--report", u"", true, report},
};

// An edit's option: its value checked as the edit takes it, then typed
// into the fields the edit reads and the edit's button clicked.
std::optional<QString> editStep(Options &o, const EditDescription &d, const QString &name, const QString &v)
{
    Step step;
    step.given = name + u' ' + v;
    step.click = d.kind;
    if (d.input == EditInput::Pixels) {
        if (!numberWithin(v, 1, 32767))
            return QStringLiteral("%1: '%2' is not a number of pixels from 1 to 32767").arg(name, v);
        step.dotDelValue = v;
    } else {
        const auto wh = size(v);
        if (!wh)
            return QStringLiteral("%1: '%2' is not a size WxH, each from 1 to 32767").arg(name, v);
        step.yoko = wh->first;
        step.tate = wh->second;
    }
    o.steps.push_back(step);
    return std::nullopt;
}

const EditDescription *editOption(const QString &name)
{
    for (const EditDescription &d : kEdits)
        if (name.size() == qsizetype(d.option.size()) + 2 && name.startsWith(u"--") &&
            name.mid(2) == QLatin1String(d.option.data(), qsizetype(d.option.size())))
            return &d;
    return nullptr;
}

const OptionRule *option(const QString &name)
{
    for (const OptionRule &rule : kOptions)
        if (name == rule.longName || (!rule.shortName.isEmpty() && name == rule.shortName))
            return &rule;
    return nullptr;
}

// Two saves into one folder in one format would write the same files.
std::optional<QString> saveGivenTwice(const Options &o)
{
    QStringList seen;
    for (const Step &step : o.steps) {
        if (!step.save)
            continue;
        // Names by size are told apart only once the sizes are known.
        if (namesBySize(step.save->output.name))
            continue;
        const QString key = step.save->folder + u'\n' + extensionOf(step.save->output.format) + u'\n' +
                            step.save->output.name;
        if (seen.contains(key))
            return QStringLiteral("--save: '%1' is given twice for %2 files; the second would write the first's")
                .arg(step.save->folder, extensionOf(step.save->output.format));
        seen << key;
    }
    return std::nullopt;
}

// Every pad's canvas gets the run's background; a transparent one only
// where every file written keeps alpha.
std::optional<QString> settleBackground(Options &o, const std::vector<Output> &written)
{
    const QRgb background = o.background.value_or(kWorkBackground);
    for (const Output &out : written)
        if (qAlpha(background) == 0 &&
            (out.format == ImageFormat::Bmp || out.format == ImageFormat::Jpeg || out.format == ImageFormat::Jxl))
            return QStringLiteral("--background transparent: %1 keeps no transparency; png, webp and avif do")
                .arg(extensionOf(out.format));
    for (Step &step : o.steps)
        if (step.frame)
            step.frame->background = background;
    return std::nullopt;
}

} // namespace

QString templatedName(const QString &nameTemplate, const QString &inputFileName, const QString &extension, QSize size)
{
    // As the save rule takes the extension off: from the last dot, unless
    // that dot starts a hidden file's name.
    const qsizetype dot = inputFileName.lastIndexOf(u'.');
    const QString base = dot > 0 ? inputFileName.left(dot) : inputFileName;
    QString out;
    for (qsizetype i = 0; i < nameTemplate.size();) {
        const QStringView at = QStringView(nameTemplate).mid(i);
        if (at.startsWith(u"{name}"))
            out += base, i += 6;
        else if (at.startsWith(u"{w}") && size.isValid())
            out += QString::number(size.width()), i += 3;
        else if (at.startsWith(u"{h}") && size.isValid())
            out += QString::number(size.height()), i += 3;
        else
            out += nameTemplate[i++];
    }
    return out + u'.' + extension;
}

bool namesBySize(const QString &nameTemplate)
{
    return nameTemplate.contains(QStringLiteral("{w}")) || nameTemplate.contains(QStringLiteral("{h}"));
}

bool Options::saves() const
{
    return std::any_of(steps.begin(), steps.end(), [](const Step &s) { return s.save.has_value(); });
}

void Step::typeInto(Fields &fields) const
{
    if (yoko)
        fields.yoko = *yoko;
    if (tate)
        fields.tate = *tate;
    if (reSizeValue)
        fields.reSizeValue = *reSizeValue;
    if (dotDelValue)
        fields.dotDelValue = *dotDelValue;
    if (edges)
        fields.edges = *edges;
}

Attempt<Command> parseArguments(const QStringList &given)
{
    const QStringList arguments = separateShortOptions(given);
    Command command;
    Options &o = command.options;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString arg = arguments[i];
        if (optionsEnded || arg == u"-" || !arg.startsWith(u'-')) {
            o.inputs << arg;
            continue;
        }
        if (arg == u"--") {
            optionsEnded = true;
            continue;
        }
        // The option's name, and its value if given as --name=value.
        QString name = arg;
        std::optional<QString> value;
        if (arg.startsWith(u"--")) {
            const qsizetype eq = arg.indexOf(u'=');
            if (eq > 0) {
                name = arg.left(eq);
                value = arg.mid(eq + 1);
            }
        }
        if (name == u"-h" || name == u"--help") {
            command.print = helpText();
            return command;
        }
        if (name == u"--version") {
            command.print = QStringLiteral("pixelvane-batch ") + QCoreApplication::applicationVersion() + u'\n';
            return command;
        }
        const EditDescription *edit = editOption(name);
        const OptionRule *rule = edit ? nullptr : option(name);
        if (!edit && !rule)
            return failure(QStringLiteral("unknown option '%1'").arg(name));
        if (rule && !rule->takesValue) {
            if (value)
                return failure(name + QStringLiteral(" takes no value"));
        } else if (!value) {
            if (i + 1 >= arguments.size())
                return failure(name + QStringLiteral(" needs a value"));
            value = arguments[++i];
        }
        const QString v = value.value_or(QString());
        if (const std::optional<QString> error = edit ? editStep(o, *edit, name, v) : rule->apply(o, name, v))
            return failure(*error);
    }
    if (o.outputDir.isEmpty())
        return failure(QStringLiteral("no output folder: give one with -o OUTDIR"));
    // Every file written losslessly must be of a format that can be.
    std::vector<Output> written;
    for (const Step &step : o.steps)
        if (step.save)
            written.push_back(step.save->output);
    if (written.empty())
        written.push_back(o.output);
    for (const Output &out : written) {
        if (out.lossless && !canBeLossless(out.format))
            return failure(QStringLiteral("--lossless: %1 is not written losslessly; webp and jxl are")
                               .arg(extensionOf(out.format)));
        // A BMP has nowhere to say its pixels are not sRGB.
        if ((o.keepMetadata & KeepProfile) && out.format == ImageFormat::Bmp)
            return failure(QStringLiteral("--keep-metadata: bmp keeps no profile; png, jpeg, webp, avif and jxl do"));
        if (out.maxBytes > 0 && (out.lossless || out.format == ImageFormat::Bmp || out.format == ImageFormat::Png))
            return failure(QStringLiteral("--max-size: %1 is not written at a quality; jpeg, webp, avif and jxl are")
                               .arg(out.lossless ? QStringLiteral("a lossless file") : extensionOf(out.format)));
    }
    if (const std::optional<QString> twice = saveGivenTwice(o))
        return failure(*twice);
    if (const std::optional<QString> error = settleBackground(o, written))
        return failure(*error);
    if (o.inputs.isEmpty() && o.filesFrom.isEmpty())
        return failure(QStringLiteral("no input: give picture files or folders, or --files-from"));
    return command;
}

} // namespace pv::batch
