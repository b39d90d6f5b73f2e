#include "batch/optionrules.h"

#include "files/formats.h"
#include "files/metadata.h"
#include "input/validation.h"

#include <QDir>
#include <QRegularExpression>

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

Attempt<void> addStep(Options &o, const QString &name, const QString &v, decltype(Step::kind) kind)
{
    o.steps.push_back(Step{name + u' ' + v, std::move(kind)});
    return {};
}

template <bool Options::*flag>
Attempt<void> setFlag(Options &o, const QString &, const QString &)
{
    o.*flag = true;
    return {};
}

template <bool Output::*flag>
Attempt<void> setOutputFlag(Options &o, const QString &, const QString &)
{
    o.output.*flag = true;
    return {};
}

Attempt<void> output(Options &o, const QString &name, const QString &v)
{
    if (v.isEmpty())
        return failure(name + QStringLiteral(": the output folder is empty"));
    o.outputDir = v;
    return {};
}

Attempt<void> filesFrom(Options &o, const QString &, const QString &v)
{
    o.filesFrom << v;
    return {};
}

Attempt<void> report(Options &o, const QString &, const QString &v)
{
    o.reportPath = v;
    return {};
}

Attempt<void> edgesStep(Options &o, const QString &name, const QString &v)
{
    const auto e = edges(v);
    if (!e)
        return failure(QStringLiteral("--edges: '%1' is not a list of top, bottom, left, right, or all or none").arg(v));
    return addStep(o, name, v, EdgesStep{*e});
}

Attempt<void> marginStep(Options &o, const QString &name, const QString &v)
{
    if (!numberWithin(v, 0, 32767))
        return failure(QStringLiteral("--margin: '%1' is not a number of pixels from 0 to 32767").arg(v));
    return addStep(o, name, v, MarginStep{v});
}

Attempt<void> format(Options &o, const QString &, const QString &v)
{
    const std::optional<ImageFormat> named = formatNamed(v);
    if (!named)
        return failure(QStringLiteral("--format: '%1' is not %2").arg(v, formatNames()));
    o.output.format = *named;
    return {};
}

Attempt<void> quality(Options &o, const QString &, const QString &v)
{
    if (!numberWithin(v, 1, 100))
        return failure(QStringLiteral("--quality: '%1' is not a number from 1 to 100").arg(v));
    o.output.quality = v.toInt();
    return {};
}

// A file name with no folder in it, whose only braces are {name}, {w}
// and {h}.
Attempt<void> nameTemplate(Options &o, const QString &name, const QString &v)
{
    QString rest = v;
    for (const char *placeholder : {"{name}", "{w}", "{h}"})
        rest.remove(QLatin1String(placeholder));
    if (v.isEmpty() || v.contains(u'/') || rest.contains(u'{') || rest.contains(u'}'))
        return failure(QStringLiteral("%1: '%2' is not a file name made of text, {name}, {w} and {h}").arg(name, v));
    o.output.name = v;
    return {};
}

Attempt<void> subsampling(Options &o, const QString &name, const QString &v)
{
    if (v != u"420" && v != u"444")
        return failure(QStringLiteral("%1: '%2' is not 420 or 444").arg(name, v));
    o.output.fullChroma = v == u"444";
    return {};
}

// A number of bytes, with k for thousands or M for millions.
Attempt<void> maxSize(Options &o, const QString &name, const QString &v)
{
    QString digits = v;
    qint64 unit = 1;
    if (v.endsWith(u'k'))
        unit = 1000, digits.chop(1);
    else if (v.endsWith(u'M'))
        unit = 1000 * 1000, digits.chop(1);
    if (!numberWithin(digits, 1, 1000 * 1000 * 1000) || digits.toLongLong() * unit > qint64(1) << 40)
        return failure(QStringLiteral("%1: '%2' is not a number of bytes (k: 1000, M: 1000000)").arg(name, v));
    o.output.maxBytes = digits.toLongLong() * unit;
    return {};
}

Attempt<void> keepMetadata(Options &o, const QString &name, const QString &v)
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
            return failure(QStringLiteral("%1: '%2' is not a list of rights, date, profile, or none").arg(name, v));
    }
    o.keepMetadata = keep;
    return {};
}

// A folder inside the output folder: relative, and not climbing out.
Attempt<void> saveStep(Options &o, const QString &name, const QString &v)
{
    const QString folder = QDir::cleanPath(v);
    if (v.isEmpty() || QDir::isAbsolutePath(v) || folder == u".." || folder.startsWith(u"../"))
        return failure(QStringLiteral("%1: '%2' is not a folder inside the output folder").arg(name, v));
    return addStep(o, name, v, Save{folder, o.output});
}

Attempt<void> workers(Options &o, const QString &name, const QString &v)
{
    if (!numberWithin(v, 1, 1024))
        return failure(QStringLiteral("%1: '%2' is not a number of jobs from 1 to 1024").arg(name, v));
    o.workers = v.toInt();
    return {};
}

Attempt<void> fitStep(Options &o, const QString &name, const QString &v)
{
    const auto b = box(v);
    if (!b)
        return failure(QStringLiteral("%1: '%2' is not a size WxH, Wx or xH, each from 1 to 32767").arg(name, v));
    return addStep(o, name, v, FrameStep{FrameKind::Fit, b->first, b->second});
}

Attempt<void> padStep(Options &o, const QString &name, const QString &v)
{
    const auto wh = size(v);
    if (!wh)
        return failure(QStringLiteral("%1: '%2' is not a size WxH, each from 1 to 32767").arg(name, v));
    return addStep(o, name, v, FrameStep{FrameKind::Pad, wh->first.toInt(), wh->second.toInt()});
}

Attempt<void> trimBorderStep(Options &o, const QString &name, const QString &v)
{
    if (!numberWithin(v, 0, 255))
        return failure(QStringLiteral("%1: '%2' is not a number of levels from 0 to 255").arg(name, v));
    FrameStep frame{FrameKind::TrimBorder};
    frame.threshold = v.toInt();
    return addStep(o, name, v, frame);
}

// white, black, #rrggbb or transparent (alpha 0).
Attempt<void> background(Options &o, const QString &name, const QString &v)
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
        return failure(QStringLiteral("%1: '%2' is not white, black, #rrggbb or transparent").arg(name, v));
    return {};
}

using enum HelpSection;

constexpr OptionRule kOptions[] = {
    {u"--edges", u"", u"LIST", Edits,
     u"the edges the following trims, shrinks and border\n  trims use: top,bottom,left,right (any of them),\n"
     u"  all, none; all at the start",
     edgesStep},
    {u"--margin", u"", u"M", Edits,
     u"the margin the following shrinks start from (削除値);\n  0 at the start. A shrink leaves the margin it ended\n"
     u"  with for the next shrink of the same picture.",
     marginStep},
    {u"--fit", u"", u"WxH", Edits,
     u"scale the whole picture, nothing cut, to the largest\n  size within W x H that keeps its proportions (Wx\n"
     u"  or xH: a limit on one side only); never enlarged",
     fitStep},
    {u"--pad", u"", u"WxH", Edits,
     u"fit into W x H as --fit does, then centre it on a\n  W x H canvas of the background colour", padStep},
    {u"--trim-border", u"", u"T", Edits,
     u"cut off the border of one colour: the rows and\n  columns, from the edges --edges chose, within T\n"
     u"  levels (0 to 255) of the top-left pixel; never all\n  of the picture. Decodes the picture whole",
     trimBorderStep},
    {u"--background", u"", u"COLOUR", Edits,
     u"what transparency is laid over and --pad fills\nwith: white, black, #rrggbb, or transparent to keep\n"
     u"alpha (png, webp and avif only); the window's light\ngrey (#f0f0f0) if not given",
     background},
    {u"--output", u"-o", u"DIR", InputOutput, u"write the results into DIR (made if missing)", output},
    {u"--recursive", u"-r", u"", InputOutput, u"take pictures in subfolders too, mirrored under DIR",
     setFlag<&Options::recursive>},
    {u"--files-from", u"", u"FILE", InputOutput,
     u"read more inputs from FILE, one a line ('-' for\nstandard input)", filesFrom},
    {u"--null", u"-0", u"", InputOutput,
     u"inputs in --files-from end with NUL, not newline\n  (as find -print0 writes them)",
     setFlag<&Options::nulSeparated>},
    {u"--format", u"", u"FORMAT", InputOutput,
     u"bmp (the default: 24-bit, as the window saves), png,\n  jpeg, webp (at most 16383 pixels a side), avif or\n"
     u"  jxl (JPEG XL), for the saves after it and the end\n  of the sequence",
     format},
    {u"--quality", u"", u"Q", InputOutput,
     u"quality of JPEG, WebP, AVIF and JPEG XL, 1 to 100\n  (default: JPEG 90, WebP 80, AVIF 60, JPEG XL 90);\n"
     u"  JPEG XL's distance is 0.1 + (100 - Q) * 0.09 from\n  Q 30 up (Q 90: 1.0), rising to at most 15 below",
     quality},
    {u"--lossless", u"", u"", InputOutput,
     u"WebP or JPEG XL keeping every pixel exactly (not\n  offered for AVIF, whose encoder moves some pixels\n"
     u"  a level)",
     setOutputFlag<&Output::lossless>},
    {u"--name", u"", u"TEMPLATE", InputOutput,
     u"name the files of the saves after it and the end of\n  the sequence by TEMPLATE: {name} the input's name\n"
     u"  without its extension, {w} and {h} the written\n  picture's size; the format's extension is added",
     nameTemplate},
    {u"--progressive", u"", u"", InputOutput, u"write progressive JPEG", setOutputFlag<&Output::progressive>},
    {u"--subsampling", u"", u"S", InputOutput,
     u"JPEG colour resolution: 420 (the default, halved\n  both ways) or 444 (whole, for text and line art)",
     subsampling},
    {u"--max-size", u"", u"BYTES", InputOutput,
     u"JPEG, WebP, AVIF and JPEG XL: the highest quality up\n  to --quality whose file takes at most BYTES (k is\n"
     u"  1000, M 1000000); a picture that does not fit even\n  at quality 1 fails",
     maxSize},
    {u"--keep-metadata", u"", u"LIST", InputOutput,
     u"keep what LIST names of each input's metadata:\n  rights (EXIF Artist and Copyright, or XMP\n"
     u"  dc:creator and dc:rights), date (EXIF\n  DateTimeOriginal), profile (the ICC profile, the\n"
     u"  pixels left in its colours; not for bmp), none\n  (the default).\n"
     u"  Never the GPS position, maker notes, camera make\n  and model, or thumbnails",
     keepMetadata},
    {u"--save", u"", u"DIR", InputOutput,
     u"a step: write the picture as it stands into DIR\n  (inside OUTDIR), in the format and quality given\n"
     u"  before it; the steps after it go on from it. With\n  any --save, only the saves write",
     saveStep},
    {u"--overwrite", u"", u"", InputOutput,
     u"replace outputs that exist (otherwise one this\n  program made is made again only when its input,\n"
     u"  its steps or the file itself changed, and any\n  other file is skipped); an input is never replaced",
     setFlag<&Options::overwrite>},
    {u"--dry-run", u"-n", u"", InputOutput,
     u"read the headers and tell what would be written, made\n  again, skipped or refused, and why, on standard\n"
     u"  output (and in the report); nothing is made,\n  changed or removed",
     setFlag<&Options::dryRun>},
    {u"--fast", u"", u"", InputOutput,
     u"decode JPEG pictures at a reduced size, and take a\n  HEIF's stored thumbnail, where a shrink makes it\n"
     u"  possible; faster, but its pixels differ from the\n  window's: slightly for photos, much for fine\n  stripes, fabric and screens",
     setFlag<&Options::fast>},
    {u"--jobs", u"-j", u"N", InputOutput, u"pictures at a time (default: one per processor)", workers},
    {u"--quiet", u"-q", u"", InputOutput, u"no progress line", setFlag<&Options::quiet>},
    {u"--report", u"", u"FILE", InputOutput,
     u"write one JSON line per input to FILE ('-' for\n  standard output); an existing FILE is replaced\n"
     u"  only if it is empty or a report",
     report},
    {u"--help", u"-h", u"", InputOutput, u"show this help and exit", nullptr},
    {u"--version", u"", u"", InputOutput, u"show the version and exit", nullptr},
};

} // namespace

std::span<const OptionRule> optionRules() { return kOptions; }

Attempt<Step> editStep(const EditDescription &d, const QString &name, const QString &v)
{
    EditStep edit{d.kind, {}, {}, {}};
    if (d.input == EditInput::Pixels) {
        if (!numberWithin(v, 1, 32767))
            return failure(QStringLiteral("%1: '%2' is not a number of pixels from 1 to 32767").arg(name, v));
        edit.pixels = v;
    } else {
        const auto wh = size(v);
        if (!wh)
            return failure(QStringLiteral("%1: '%2' is not a size WxH, each from 1 to 32767").arg(name, v));
        edit.width = wh->first;
        edit.height = wh->second;
    }
    return Step{name + u' ' + v, edit};
}

} // namespace pv::batch
