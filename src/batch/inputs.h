#pragma once
// Which pictures a batch run treats, and where each one's result goes.

#include "batch/options.h"

#include <QString>
#include <vector>

namespace pv::batch {

struct Item {
    QString input;
    QString output;
    QString refusal; // set when the picture may not be done at all: the reason
};


// The pictures of the inputs, in the order given: a file as it is, a folder
// by the pictures directly inside it (with `recursive`, in its subfolders
// too), chosen by name and sorted by name; then the inputs listed in the
// files-from lists. Each output is named by the save rule with the format's
// extension, inside the output folder, a folder's subfolders mirrored.
// Guards against losing a file: an item whose output is an input (the same
// file, however named) is refused, and so is a later item whose output an
// earlier item writes. A list of inputs that cannot be read is a usage
// error.
[[nodiscard]] Attempt<std::vector<Item>> listItems(const Options &options);

// The names a folder's pictures may have: .bmp .jpg .jpeg .gif .png .tif
// .tiff .webp, in any case.
[[nodiscard]] bool hasPictureName(const QString &fileName);

} // namespace pv::batch
