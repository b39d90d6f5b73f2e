#pragma once

#include "files/openfolder.h"
#include "surfaces/fault.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

namespace pv {

// Writes a file so that whatever was there before is either replaced whole
// or left untouched, and a new file is complete or absent, even across a
// power failure: the data goes to a hidden temporary file beside the
// target, reaches the disk, and only then is renamed into place; the
// folder's entry reaches the disk too. A temporary file is never left
// behind by a run that ends; one that a killed process left is recognised
// by its name (see isStaleTemporary). The temporary file, the check and
// the rename all happen on the folder's descriptor, opened once: renaming
// the folder or a folder above it meanwhile cannot lead the file
// elsewhere. Faults carry the system's own descriptions.
//
// Only a regular file is replaced. Made not to replace at all, the file is
// put in place only if nothing has the name by then, as the file system
// sees it (a case-insensitive one too), checked and put in place in one
// step; on file systems without that step (FUSE, NFS, exFAT) by a hard
// link, or else by creating the name exclusively first.
class AtomicFile {
public:
    enum class Existing { Replace, Keep };
    // Follow: a link is followed and the file it points to replaced, as a
    // user who chose the link means. Replace: the entry itself is replaced,
    // never what it points to, as a shared output folder needs.
    enum class Links { Follow, Replace };
    explicit AtomicFile(const QString &path, Existing existing = Existing::Replace, Links links = Links::Follow);
    // The file `name` in an open folder; a link there is replaced itself.
    AtomicFile(const OpenFolder &folder, const QByteArray &name, Existing existing);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    [[nodiscard]] Made<void> open();
    // Writes at an offset; several threads may do so at once. A failure is
    // remembered: it makes later writes fail and commit() report it.
    bool writeAt(const char *data, qint64 size, qint64 offset);
    // Puts the file in place. A name taken that was not to be replaced
    // fails as Fault::Cause::Exists. While a DeferredCommits lives on the
    // calling thread, only what can be checked without the disk is done
    // here: the file is handed to it, to be put in place by landAll.
    [[nodiscard]] Made<void> commit();

    // Gives the file a record (see filerecord.h) of these lines followed
    // by "output SIZE HASH" of its own bytes, set before it has its name.
    void setRecord(const QByteArray &lines) { m_record = lines; }
    // Replacing, the file put in place only over this very file: anything
    // else that took the name meanwhile is kept (Cause::Exists).
    void replaceOnly(FileIdentity identity) { m_expected = identity; }

private:
    friend class DeferredCommits;
    friend std::vector<Made<void>> landAll(std::vector<std::unique_ptr<AtomicFile>> &files);
    struct HandOver {};
    // Takes over `from`'s open file, its temporary name and its target.
    AtomicFile(AtomicFile &from, HandOver);

    [[nodiscard]] Made<void> prepare();
    [[nodiscard]] Made<void> reachDisk();
    [[nodiscard]] Made<void> place();
    Failure<Fault> fail(int error);
    Failure<Fault> fail(const Fault &fault);
    void discard();
    [[nodiscard]] Made<void> putInPlace();

    [[nodiscard]] Made<void> checkTarget();
    [[nodiscard]] Made<void> finishRecord();

    int m_folder = -1; // owned
    int m_folderError = 0;
    QByteArray m_name;
    QByteArray m_temporary;
    QByteArray m_record;
    std::optional<FileIdentity> m_expected;
    int m_fd = -1;
    bool m_replacing = false;
    bool m_keepExisting = false;
    bool m_replaceLinks = false;
    std::atomic<int> m_writeError{0};
};

// Files whose commits on this thread were handed over rather than waited
// for: the writer goes on to its next work while the disk takes them in.
// One at a time on a thread; the window never makes one, so its saves are
// on the disk when they return.
class DeferredCommits {
public:
    DeferredCommits();
    // Files not taken are discarded: their names never appear.
    ~DeferredCommits();
    DeferredCommits(const DeferredCommits &) = delete;
    DeferredCommits &operator=(const DeferredCommits &) = delete;

    // The files handed over since the last take, in the order committed.
    [[nodiscard]] std::vector<std::unique_ptr<AtomicFile>> take();

private:
    friend class AtomicFile;
    std::vector<std::unique_ptr<AtomicFile>> m_files;
};

// Puts handed-over files in place, each as commit() would have, grouped:
// every file's data reaches the disk first, then each is renamed into
// place, then each folder that gained one reaches the disk, once. The
// results are the files', in order: a file is in place and on the disk
// when its result is; one that failed is absent, unless only its folder's
// entry could not reach the disk (as with commit()).
[[nodiscard]] std::vector<Made<void>> landAll(std::vector<std::unique_ptr<AtomicFile>> &files);

} // namespace pv
