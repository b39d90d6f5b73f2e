#include "batch/folders.h"

#include "input/filenames.h"

namespace pv::batch {

std::optional<Identity> identityOf(const QString &path)
{
    const Entry e = entryAt(bytesOfName(path));
    if (e.kind == Entry::Kind::Missing)
        return std::nullopt;
    return e.identity;
}

Kind kindOf(const QString &path)
{
    switch (entryAt(bytesOfName(path)).kind) {
    case Entry::Kind::Missing:
        return Kind::Missing;
    case Entry::Kind::File:
        return Kind::File;
    case Entry::Kind::Folder:
        return Kind::Folder;
    default:
        return Kind::Other;
    }
}

Attempt<void> canMakeFolders(const QString &path)
{
    const Made<void> can = pv::canMakeFolders(bytesOfName(path));
    if (!can)
        return failure(can.reason().text);
    return {};
}

Listing listFolder(const QString &folder)
{
    const FolderListing found = pv::listFolder(bytesOfName(folder));
    Listing out;
    for (const QByteArray &name : found.files)
        out.files << nameFromBytes(name);
    for (const QByteArray &name : found.folders)
        out.folders << nameFromBytes(name);
    return out;
}

QString resolved(const QString &path)
{
    const QByteArray real = resolvedPath(bytesOfName(path));
    return real.isEmpty() ? QString() : nameFromBytes(real);
}

PlaceInOutput placeInOutput(const QString &within)
{
    const QByteArray bytes = bytesOfName(within);
    const qsizetype slash = bytes.lastIndexOf('/');
    return {slash < 0 ? QByteArray() : bytes.left(slash), bytes.mid(slash + 1)};
}

} // namespace pv::batch
