#pragma once
// The file-system steps of a batch run, on names as the system holds them
// (see filenames.h), over the folder-relative file operations of
// files/openfolder.h: inputs found and told apart by identity rather than
// by name, the output folder opened.

#include "batch/options.h"
#include "files/openfolder.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace pv::batch {

using Identity = FileIdentity;
[[nodiscard]] std::optional<Identity> identityOf(const QString &path);

enum class Kind { Missing, File, Folder, Other };
// What the name is, links followed.
[[nodiscard]] Kind kindOf(const QString &path);

// Whether the output folder could be made: no existing part of it is
// anything but a folder. Makes nothing.
[[nodiscard]] Attempt<void> canMakeFolders(const QString &path);

// The entries of a folder that are not hidden, sorted by name: the regular
// files (links to them too) and, apart, the folders (links not followed).
struct Listing {
    QStringList files;
    QStringList folders;
};
[[nodiscard]] Listing listFolder(const QString &folder);

// The path with every link resolved; empty when some part is missing.
[[nodiscard]] QString resolved(const QString &path);

// A path relative to the output folder, split into its folder ("a/b", or
// empty) and its file name, as bytes.
struct PlaceInOutput {
    QByteArray folder;
    QByteArray name;
};
[[nodiscard]] PlaceInOutput placeInOutput(const QString &within);

} // namespace pv::batch
