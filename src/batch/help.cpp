#include "batch/optionrules.h"
#include "files/formats.h"

namespace pv::batch {

namespace {

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

const QString kIntroduction = QStringLiteral(R"(Usage: pixelvane-batch [OPTION]... -o OUTDIR INPUT...
Apply Pixelvane's edits to many pictures and write the results to OUTDIR.

INPUT is a picture file or a folder; a folder gives the pictures directly
inside it (%1, in any case). Each
picture is decoded by its content, edited as the Pixelvane window would
edit it, and written under its own name with the output format's extension.

Edits, run in the order given, each as its button in the window runs it:
)");

const QString kAfterEdits = QStringLiteral(R"(With no edit, pictures are only converted. An edit refused only because the
picture already has the size asked for leaves it as it is, and the run goes
on, as the window's user would simply save. So does a fit, a pad or a border
trim that would change nothing; the report notes it.

Input and output:
)");

const QString kClosing = QStringLiteral(R"(Examples:
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
)");

// One option's lines: the option and its value in the first 24 columns
// (or on a line of its own when they take more than 22), then its text
// from column 24, each further line indented as the text indents it.
QString helpLines(QStringView shortName, QStringView longName, QStringView valueName, QStringView help)
{
    QString left = QStringLiteral("  ");
    if (shortName.isEmpty())
        left += QStringLiteral("    ");
    else
        left.append(shortName).append(QStringLiteral(", "));
    left.append(longName);
    if (!valueName.isEmpty())
        left.append(u' ').append(valueName);
    const QString indent(24, u' ');
    left = left.size() <= 22 ? left.leftJustified(24) : left + u'\n' + indent;
    return left + help.toString().replace(u'\n', u'\n' + indent) + u'\n';
}

QString rows(HelpSection section)
{
    QString out;
    for (const OptionRule &rule : optionRules())
        if (rule.section == section)
            out += helpLines(rule.shortName, rule.longName, rule.valueName, rule.help);
    return out;
}

QString editRows()
{
    QString out;
    for (const EditDescription &d : kEdits)
        out += helpLines({}, QStringLiteral("--") + QLatin1String(d.option.data(), qsizetype(d.option.size())),
                         d.input == EditInput::Pixels ? u"N" : u"WxH",
                         QString::fromUtf8(d.help.data(), qsizetype(d.help.size())));
    return out;
}

} // namespace

QString helpText()
{
    return kIntroduction.arg(extensionsHelp()) + editRows() + rows(HelpSection::Edits) + kAfterEdits + rows(HelpSection::InputOutput) + u'\n' +
           kClosing;
}

} // namespace pv::batch
