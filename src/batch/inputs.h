#pragma once
// Which pictures a batch run treats, and where each one's result goes.

#include "batch/options.h"

#include <QString>
#include <vector>

namespace pv::batch {

// A file an item writes, and how.
struct Target {
    QString path; // with a template's {w} and {h} as they are
    Output output;
    QString within; // the path relative to the output folder
    size_t step = 0; // the --save step that writes it, or the end of the steps
    // The path of the file of a picture of `size`: `path`, or for a
    // template naming by size the same folder and the name it gives.
    [[nodiscard]] QString pathFor(QSize size, const QString &input) const;
};

// Names are held as filenames.h decodes them.
struct Item {
    QString input;
    std::vector<Target> targets; // one a --save, in order; or the one at the end
    QString refusal;             // set when the picture may not be done at all: the reason
    [[nodiscard]] const QString &output() const { return targets.back().path; }
};

// The pictures of the inputs, in the order given: a file as it is, a folder
// by the pictures directly inside it (with `recursive`, in its subfolders
// too), chosen by name and sorted by name; then the inputs listed in the
// files-from lists. Each output is named by the save rule with the format's
// extension, inside the output folder (or the --save step's folder in it),
// a folder's subfolders mirrored.
// Guards against losing a file: an item whose output is an input (the same
// file, however named) is refused, and so is a later item whose output an
// earlier item writes; with `foldCase` (the output folder's file system
// does not tell a.bmp from A.bmp) names that differ only by case are the
// same. A list of inputs that cannot be read, or that has no end, is a
// usage error.
[[nodiscard]] Attempt<std::vector<Item>> listItems(const Options &options, bool foldCase);

// The names a folder's pictures may have: .bmp .jpg .jpeg .gif .png .tif
// .tiff .webp .heic .heif .hif .avif .jxl, in any case.
[[nodiscard]] bool hasPictureName(const QString &fileName);

} // namespace pv::batch
