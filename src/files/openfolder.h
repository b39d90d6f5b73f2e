#pragma once
// Files and folders reached from a folder held open. The folder a run
// writes into is opened once; every folder below it is opened from it one
// name at a time, never through a link, and every file in it is made,
// checked and put in place on that folder's descriptor, so that nobody who
// can rename entries in a shared folder meanwhile can lead a write
// elsewhere. The system calls on files of both programs are here, in
// atomicfile.cpp and in filerecord.cpp; reading a picture is in picture.cpp.

#include "surfaces/fault.h"

#include <QByteArray>
#include <QList>

#include <optional>
#include <sys/types.h>

namespace pv {

// A file's identity, however it is named.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

// What a name is, links not followed unless said.
struct Entry {
    enum class Kind { Missing, File, Folder, Link, Other };
    Kind kind = Kind::Missing;
    qint64 size = 0;
    FileIdentity identity;
};

// The fault of a name below the output folder that is a link, or leads
// through one.
[[nodiscard]] Fault throughLink();
[[nodiscard]] bool isThroughLink(const Fault &fault);

class OpenFolder {
public:
    OpenFolder() = default;
    ~OpenFolder();
    OpenFolder(OpenFolder &&other) noexcept;
    OpenFolder &operator=(OpenFolder &&other) noexcept;
    OpenFolder(const OpenFolder &) = delete;
    OpenFolder &operator=(const OpenFolder &) = delete;

    // The folder at `path` as the user named it, links followed; with
    // `make`, it and the folders missing above it are made first.
    [[nodiscard]] static Made<OpenFolder> atPath(const QByteArray &path, bool make);
    // The folder that holds `path`'s last name, as atPath opens it.
    [[nodiscard]] static Made<OpenFolder> holding(const QByteArray &path);

    // The folder `relative` ("a/b", empty: this one again) below this one,
    // each name opened from the one above without following a link (a
    // link fails as throughLink()); with `make`, each missing one made
    // there first. Missing and not made: Fault::system(ENOENT).
    [[nodiscard]] Made<OpenFolder> below(const QByteArray &relative, bool make) const;

    [[nodiscard]] int fd() const { return m_fd; }
    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    // What `name` is in this folder, its link not followed.
    [[nodiscard]] Entry entry(const QByteArray &name) const;
    // Whether the file system tells names apart only by more than case
    // (exFAT, SMB shares, disks shared with macOS or Windows): found by
    // making a hidden probe file, named as a temporary file, and asking
    // for it in other case.
    [[nodiscard]] bool foldsCase() const;
    // Removes, here and in every folder below (links not followed), the
    // temporary files this machine's runs left whose process is gone.
    void removeStaleTemporaries() const;
    // Reaches the disk with this folder's entries.
    [[nodiscard]] int sync() const;

private:
    explicit OpenFolder(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

// The name of a hidden temporary file for `name` in a folder whose names
// may be `nameLimit` bytes long: ".NAME.pvtmp.HOST.PID.XXXXXX", the name
// cut short to fit (at a character's boundary), the X's to be made random.
[[nodiscard]] QByteArray temporaryName(const QByteArray &name, long nameLimit);
// Fills the trailing six X's of a temporary name with random letters.
void randomise(QByteArray &temporary);
// Whether a name is a temporary file of this host's whose process is gone.
[[nodiscard]] bool isStaleTemporary(const QByteArray &fileName);
// This machine's name, as uname -n gives it, fit for a file name.
[[nodiscard]] QByteArray hostName();

// The identity and kind of what `path` names, links followed.
[[nodiscard]] Entry entryAt(const QByteArray &path);
// The entries of a folder that are not hidden, sorted: regular files (and
// links to them) and, apart, folders (links not followed).
struct FolderListing {
    QList<QByteArray> files;
    QList<QByteArray> folders;
};
[[nodiscard]] FolderListing listFolder(const QByteArray &path);
// The path with every link resolved; empty when a part is missing.
[[nodiscard]] QByteArray resolvedPath(const QByteArray &path);
// Whether the folders that `path` names could be made: none of its
// existing parts is anything but a folder. Makes nothing.
[[nodiscard]] Made<void> canMakeFolders(const QByteArray &path);

// The report file, opened to be written: "-" is standard output; a link,
// a device or a pipe is opened as it is; a regular file is replaced at
// once by a new, empty one (by rename in its folder); a missing one is
// made. `isReport` is asked about a regular file's first bytes (through
// the link too) before anything is changed; false fails as Cause::Exists.
using FirstBytesCheck = bool (*)(const QByteArray &head, qint64 size);
[[nodiscard]] Made<int> openReport(const QByteArray &path, FirstBytesCheck isReport, bool checkOnly);
// Appends all of `bytes` to the open file; 0, or the system's error.
[[nodiscard]] int writeAll(int fd, const QByteArray &bytes);
// Brings what was written to the open file to the disk (a pipe or a
// device has nothing to bring); 0, or the system's error.
[[nodiscard]] int syncOpenFile(int fd);
void closeOpenFile(int fd);

} // namespace pv

#include <QHashFunctions>

namespace pv {
inline size_t qHash(const FileIdentity &id, size_t seed = 0)
{
    return ::qHash(quint64(id.inode), seed) ^ ::qHash(quint64(id.device), 0);
}
} // namespace pv
