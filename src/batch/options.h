#pragma once
// The batch command's command line.

#include "edit/geometry.h"
#include "files/imagewrite.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace pv::batch {

// One edit on the command line, in the order given. Values are kept as the
// text typed, as the window's entry fields keep them.
struct Step {
    enum class Kind { Trim, Crop, Shrink, Edges, Margin } kind;
    QString first;  // trim: the pixels; crop, shrink: the width; margin: the margin
    QString second; // crop, shrink: the height
    Edges edges;    // edges: the boxes to check
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
    int jobs = 0; // 0: one per processor
    bool quiet = false;
    QString reportPath;
    bool fast = false;
};

// What the command line asks for: options to run with, a text to print and
// exit 0 with (--help, --version), or a one-line error for exit status 2.
struct Parsed {
    std::optional<Options> options;
    QString print;
    QString error;
};

// Parses the arguments after the program's name, GNU style: long options
// take their value as "--opt=V" or as the next argument, short ones as the
// next argument; "--" ends the options.
[[nodiscard]] Parsed parseArguments(const QStringList &arguments);

// The --help text.
[[nodiscard]] QString helpText();

} // namespace pv::batch
