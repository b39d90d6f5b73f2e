#pragma once
// The batch command's command line.

#include "edit/editkind.h"
#include "edit/result.h"
#include "files/imagewrite.h"
#include "input/fields.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace pv::batch {

// What the batch layer's fallible functions return: a value, or a
// one-line reason.
template <class T>
using Attempt = Result<T, QString>;

// One step of the edit sequence, in the order given: what it types into the
// entry fields and sets in the edge boxes, then the edit button it clicks,
// if any. Values are kept as the text typed, as the window's fields keep
// them.
struct Step {
    QString given; // as the command line spelled it, "--crop 4000x3000"
    std::optional<QString> yoko, tate, reSizeValue, dotDelValue;
    std::optional<Edges> edges;
    std::optional<EditKind> click;

    void typeInto(Fields &fields) const;
};

struct Options {
    QString outputDir;
    QStringList inputs;
    QStringList filesFrom; // lists of inputs: files, or "-" for standard input
    bool nulSeparated = false;
    bool recursive = false;
    std::vector<Step> steps;
    ImageFormat format = ImageFormat::Bmp;
    int quality = 90;
    bool overwrite = false;
    int workers = 0; // pictures at a time; 0: one per processor
    bool quiet = false;
    QString reportPath;
    bool fast = false;
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

// The --help text.
[[nodiscard]] QString helpText();

} // namespace pv::batch
