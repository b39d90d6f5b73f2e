#include "batch/options.h"

#include "input/validation.h"

#include <QCoreApplication>

namespace pv::batch {

namespace {

// A plain ASCII number within [low, high], as the window accepts a field's
// text (leading zeros count for nothing).
bool numberWithin(const QString &text, int low, int high)
{
    return !text.isEmpty() && fncNumCheck(text) && compareDigits(text, low) >= 0 && compareDigits(text, high) <= 0;
}

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

} // namespace

QString helpText()
{
    return QStringLiteral(R"(Usage: pixelvane-batch [OPTION]... -o OUTDIR INPUT...
Apply Pixelvane's edits to many pictures and write the results to OUTDIR.

INPUT is a picture file or a folder; a folder gives the pictures directly
inside it (.bmp .jpg .jpeg .gif .png .tif .tiff .webp, in any case). Each
picture is decoded by its content, edited as the Pixelvane window would
edit it, and written under its own name with the output format's extension.

Edits, run in the order given, each as its button in the window runs it:
      --trim N          cut N pixels off each chosen edge (削る)
      --crop WxH        keep W x H pixels from the centre (中心切り抜き)
      --shrink WxH      cut to W:H from the chosen edges, then scale to
                          exactly W x H (リサイズ（縮小）)
      --edges LIST      the edges the following trims and shrinks use:
                          top,bottom,left,right (any of them), all, none;
                          all at the start
      --margin M        the margin the following shrinks start from (削除値);
                          0 at the start. A shrink leaves the margin it ended
                          with for the next shrink of the same picture.
With no edit, pictures are only converted.

Input and output:
  -o, --output DIR      write the results into DIR (made if missing)
  -r, --recursive       take pictures in subfolders too, mirrored under DIR
      --files-from FILE
                        read more inputs from FILE, one a line ('-' for
                        standard input)
  -0, --null            inputs in --files-from end with NUL, not newline
                          (as find -print0 writes them)
      --format FORMAT   bmp (the default: 24-bit, as the window saves), png,
                          or jpeg
      --quality Q       JPEG quality, 1 to 100 (default 90)
      --overwrite       replace outputs that exist (they are skipped
                          otherwise); an input is never replaced
      --fast            decode JPEG pictures at a reduced size where a
                          shrink makes it possible; faster, but its pixels
                          differ slightly from the window's
  -j, --jobs N          pictures at a time (default: one per processor)
  -q, --quiet           no progress line
      --report FILE     write one JSON line per input to FILE
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
  find shop -name '*.jpg' -print0 | pixelvane-batch -0 --files-from - --shrink 320x240 -o thumbs

Exit status: 0 when every picture was written (or skipped, as its output
existed), 1 when any was refused or failed, 2 for a bad command line,
130 when interrupted.
)");
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

} // namespace

Parsed parseArguments(const QStringList &given)
{
    const QStringList arguments = separateShortOptions(given);
    Parsed parsed;
    Options o;
    auto fail = [&parsed](const QString &text) {
        parsed.error = text;
        return parsed;
    };
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
        std::optional<QString> inlineValue;
        if (arg.startsWith(u"--")) {
            const qsizetype eq = arg.indexOf(u'=');
            if (eq > 0) {
                name = arg.left(eq);
                inlineValue = arg.mid(eq + 1);
            }
        }
        auto value = [&]() -> std::optional<QString> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < arguments.size())
                return arguments[++i];
            return std::nullopt;
        };
        auto flag = [&](bool &target) {
            if (inlineValue)
                return false;
            target = true;
            return true;
        };
        if (name == u"-h" || name == u"--help") {
            parsed.print = helpText();
            return parsed;
        }
        if (name == u"--version") {
            parsed.print = QStringLiteral("pixelvane-batch ") + QCoreApplication::applicationVersion() + u'\n';
            return parsed;
        }
        if (name == u"-r" || name == u"--recursive" || name == u"-0" || name == u"--null" ||
            name == u"--overwrite" || name == u"-q" || name == u"--quiet" || name == u"--fast") {
            bool &target = (name == u"-r" || name == u"--recursive") ? o.recursive
                           : (name == u"-0" || name == u"--null")    ? o.nulSeparated
                           : name == u"--overwrite"                  ? o.overwrite
                           : name == u"--fast"                       ? o.fast
                                                                     : o.quiet;
            if (!flag(target))
                return fail(name + QStringLiteral(" takes no value"));
            continue;
        }
        const bool known = name == u"-o" || name == u"--output" || name == u"--files-from" || name == u"--trim" ||
                           name == u"--crop" || name == u"--shrink" || name == u"--edges" || name == u"--margin" ||
                           name == u"--format" || name == u"--quality" || name == u"-j" || name == u"--jobs" ||
                           name == u"--report";
        if (!known)
            return fail(QStringLiteral("unknown option '%1'").arg(name));
        const std::optional<QString> v = value();
        if (!v)
            return fail(name + QStringLiteral(" needs a value"));
        if (name == u"-o" || name == u"--output") {
            if (v->isEmpty())
                return fail(name + QStringLiteral(": the output folder is empty"));
            o.outputDir = *v;
        } else if (name == u"--files-from") {
            o.filesFrom << *v;
        } else if (name == u"--report") {
            o.reportPath = *v;
        } else if (name == u"--trim") {
            if (!numberWithin(*v, 1, 32767))
                return fail(QStringLiteral("--trim: '%1' is not a number of pixels from 1 to 32767").arg(*v));
            o.steps.push_back({Step::Kind::Trim, *v, QString(), {}});
        } else if (name == u"--crop" || name == u"--shrink") {
            const auto wh = size(*v);
            if (!wh)
                return fail(QStringLiteral("%1: '%2' is not a size WxH, each from 1 to 32767").arg(name, *v));
            o.steps.push_back({name == u"--crop" ? Step::Kind::Crop : Step::Kind::Shrink, wh->first, wh->second, {}});
        } else if (name == u"--edges") {
            const auto e = edges(*v);
            if (!e)
                return fail(QStringLiteral("--edges: '%1' is not a list of top, bottom, left, right, or all or none").arg(*v));
            o.steps.push_back({Step::Kind::Edges, QString(), QString(), *e});
        } else if (name == u"--margin") {
            if (!numberWithin(*v, 0, 32767))
                return fail(QStringLiteral("--margin: '%1' is not a number of pixels from 0 to 32767").arg(*v));
            o.steps.push_back({Step::Kind::Margin, *v, QString(), {}});
        } else if (name == u"--format") {
            const QString f = v->toLower();
            if (f == u"bmp")
                o.format = ImageFormat::Bmp;
            else if (f == u"png")
                o.format = ImageFormat::Png;
            else if (f == u"jpeg" || f == u"jpg")
                o.format = ImageFormat::Jpeg;
            else
                return fail(QStringLiteral("--format: '%1' is not bmp, png or jpeg").arg(*v));
        } else if (name == u"--quality") {
            if (!numberWithin(*v, 1, 100))
                return fail(QStringLiteral("--quality: '%1' is not a number from 1 to 100").arg(*v));
            o.quality = v->toInt();
        } else if (name == u"-j" || name == u"--jobs") {
            if (!numberWithin(*v, 1, 1024))
                return fail(QStringLiteral("%1: '%2' is not a number of jobs from 1 to 1024").arg(name, *v));
            o.jobs = v->toInt();
        }
    }
    if (o.outputDir.isEmpty())
        return fail(QStringLiteral("no output folder: give one with -o OUTDIR"));
    if (o.inputs.isEmpty() && o.filesFrom.isEmpty())
        return fail(QStringLiteral("no input: give picture files or folders, or --files-from"));
    parsed.options = o;
    return parsed;
}

} // namespace pv::batch
