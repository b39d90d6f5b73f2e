#pragma once
// The batch command's command line.

#include "edit/editkind.h"
#include "edit/framing.h"
#include "edit/result.h"
#include "files/imagewrite.h"
#include "input/fields.h"

#include <QRgb>
#include <QSize>
#include <QString>
#include <QStringList>
#include <optional>
#include <variant>
#include <vector>

namespace pv::batch {

// What the batch layer's fallible functions return: a value, or a
// one-line reason.
template <class T>
using Attempt = Result<T, QString>;

// How a picture is written: the format, its quality (the format's own
// default unless given) and, for WebP and JPEG XL, whether every pixel is
// kept exactly; how it is named; JPEG's layout; the byte budget.
struct Output {
    ImageFormat format = ImageFormat::Bmp;
    std::optional<int> quality;
    bool lossless = false;
    QString name;             // a --name template; empty: the input's name
    bool progressive = false; // JPEG
    bool fullChroma = false;  // JPEG 4:4:4
    qint64 maxBytes = 0;      // 0: no budget
    [[nodiscard]] int qualityToUse() const { return quality.value_or(defaultQuality(format)); }
};

// A save in the middle of the sequence: the current picture written into
// the folder (relative to the output folder), as it stands. What tells two
// saves' files apart is the folder with the name template
// (output.name): saves into one folder under templates holding {w} or {h}
// are told apart by the sizes they write.
struct Save {
    QString folder;
    Output output;
};

// The kinds of step. Values are kept as the text typed, as the window's
// fields keep them.
struct EdgesStep {
    Edges edges; // set in the edge boxes
};
struct MarginStep {
    QString margin; // typed into txtReSizeValue
};
// An edit: its value typed into the fields it reads, then its button
// clicked.
struct EditStep {
    EditKind kind;
    QString pixels;        // txtDotDelValue, for an edit that takes pixels
    QString width, height; // txtYoko and txtTate, for one that takes a size
};

// One step of the sequence, in the order given: what it types into the
// entry fields or sets in the edge boxes, an edit, a framing step (fit, pad,
// border trim; its canvas the run's background), or a save.
struct Step {
    QString given; // as the command line spelled it, "--crop 4000x3000"
    std::variant<EdgesStep, MarginStep, EditStep, FrameStep, Save> kind;

    [[nodiscard]] const EditStep *edit() const { return std::get_if<EditStep>(&kind); }
    [[nodiscard]] const FrameStep *frame() const { return std::get_if<FrameStep>(&kind); }
    [[nodiscard]] const Save *save() const { return std::get_if<Save>(&kind); }
    // What the step types into the fields and boxes before anything else.
    void typeInto(Fields &fields) const;
};

struct Options {
    QString outputDir;
    QStringList inputs;
    QStringList filesFrom; // lists of inputs: files, or "-" for standard input
    bool nulSeparated = false;
    bool recursive = false;
    std::vector<Step> steps;
    Output output; // for the end of the sequence when no step saves
    // What transparency is laid over and pads are filled with; alpha 0
    // keeps transparency. Unset: the window's grey.
    std::optional<QRgb> background;
    bool overwrite = false;
    int workers = 0; // pictures at a time; 0: one per processor
    bool quiet = false;
    QString reportPath;
    bool fast = false;
    bool dryRun = false; // plan and tell; make, change and remove nothing
    unsigned keepMetadata = 0; // KeepMetadata flags (files/metadata.h)

    [[nodiscard]] bool saves() const;
};

// What the command line asks for: options to run with, or a text to print
// before exiting with status 0 (--help, --version).
struct Command {
    Options options;
    QString print;
};

// Parses the arguments after the program's name, GNU style: long options
// take their value as "--opt=V" or as the next argument, short ones as the
// next argument or joined ("-j4", "-rq"); "--" ends the options. A bad
// command line gives the one-line error for exit status 2.
[[nodiscard]] Attempt<Command> parseArguments(const QStringList &arguments);

// The file name a --name template gives for an input file name: {name} is
// the input's name without its extension (by the save rule), {w} and {h}
// the written picture's width and height (left as they are for a null
// size), then "." and the format's extension.
[[nodiscard]] QString templatedName(const QString &nameTemplate, const QString &inputFileName,
                                    const QString &extension, QSize size = QSize());
// Whether a template's names depend on the picture's size.
[[nodiscard]] bool namesBySize(const QString &nameTemplate);

// The --help text.
[[nodiscard]] QString helpText();

} // namespace pv::batch
