#pragma once
// The file-system steps of a batch run, on names as the system holds them
// (see filenames.h): folders made, listed and cleaned, files told apart by
// identity rather than by name.

#include "batch/options.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

namespace pv::batch {

// A file's identity, however it is named.
struct Identity {
    dev_t device;
    ino_t inode;
    friend bool operator==(const Identity &, const Identity &) = default;
};
[[nodiscard]] std::optional<Identity> identityOf(const QString &path);
size_t qHash(const Identity &id, size_t seed = 0);

enum class Kind { Missing, File, Folder, Other };
// What the name is, links followed.
[[nodiscard]] Kind kindOf(const QString &path);

// Makes the folder and the missing folders above it; the system's reason
// when it cannot.
[[nodiscard]] Attempt<void> makeFolders(const QString &path);
// Whether makeFolders could make the folder: no existing part of it is
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
// Whether `path`'s folder, links resolved, lies within `folder`.
[[nodiscard]] bool liesWithin(const QString &path, const QString &folder);

// Whether the file system holding `folder` (or the nearest folder above it
// that exists) tells names apart only by more than case, as exFAT, SMB
// shares and disks shared with macOS or Windows do: found by trying.
[[nodiscard]] bool foldsCase(const QString &folder);

// Removes the temporary files that killed runs left in `folder` and the
// folders below it.
void removeStaleTemporaries(const QString &folder);

} // namespace pv::batch
