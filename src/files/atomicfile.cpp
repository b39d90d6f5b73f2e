#include "files/atomicfile.h"

#include "files/filerecord.h"
#include "input/filenames.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace pv {

namespace {

// Only a regular file may be replaced: renaming over a device, a FIFO or a
// socket would put a file where it was.
std::optional<Fault> notRegular(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return std::nullopt;
    if (S_ISDIR(st.st_mode))
        return Fault::system(EISDIR);
    return Fault{Fault::Cause::System, QStringLiteral("Not a regular file")};
}

Fault exists() { return Fault{Fault::Cause::Exists, QString::fromLocal8Bit(std::strerror(EEXIST))}; }

} // namespace

AtomicFile::AtomicFile(const QString &path, Existing existing, Links links)
    : m_keepExisting(existing == Existing::Keep), m_replaceLinks(links == Links::Replace)
{
    QByteArray target = bytesOfName(path);
    struct stat st {};
    if (!m_replaceLinks && ::lstat(target.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Writing through a link replaces the file it points to, not the link.
        if (char *resolved = ::realpath(target.constData(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    m_name = target.mid(target.lastIndexOf('/') + 1);
    Made<OpenFolder> folder = OpenFolder::holding(target);
    m_folder = folder ? ::fcntl(folder->fd(), F_DUPFD_CLOEXEC, 0) : -1;
    m_folderError = folder ? 0 : errno ? errno : ENOENT;
}

AtomicFile::AtomicFile(const OpenFolder &folder, const QByteArray &name, Existing existing)
    : m_folder(::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0)), m_name(name), m_keepExisting(existing == Existing::Keep),
      m_replaceLinks(true)
{
    m_folderError = m_folder < 0 ? errno : 0;
}

AtomicFile::~AtomicFile()
{
    discard();
    if (m_folder >= 0)
        ::close(m_folder);
}

Fault Fault::system(int error) { return {Cause::System, QString::fromLocal8Bit(std::strerror(error))}; }

Failure<Fault> AtomicFile::fail(int error) { return fail(Fault::system(error)); }

Failure<Fault> AtomicFile::fail(const Fault &fault)
{
    discard();
    return failure(fault);
}

void AtomicFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporary.isEmpty()) {
        ::unlinkat(m_folder, m_temporary.constData(), 0);
        m_temporary.clear();
    }
}

Made<void> AtomicFile::open()
{
    if (m_folder < 0)
        return fail(m_folderError ? m_folderError : EBADF);
    const int lookup = m_replaceLinks ? AT_SYMLINK_NOFOLLOW : 0;
    struct stat existing {};
    if (m_keepExisting && ::fstatat(m_folder, m_name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return fail(exists());
    if (::fstatat(m_folder, m_name.constData(), &existing, lookup) == 0) {
        if (m_replaceLinks && S_ISLNK(existing.st_mode)) {
            existing.st_mode = 0; // the link goes; the new file has the usual permissions
        } else {
            if (const std::optional<Fault> why = notRegular(existing))
                return fail(*why);
            if (::faccessat(m_folder, m_name.constData(), W_OK, 0) != 0)
                return fail(errno);
            m_replacing = true;
        }
    } else if (errno != ENOENT) {
        return fail(errno);
    }
    QByteArray temporary = temporaryName(m_name, ::fpathconf(m_folder, _PC_NAME_MAX));
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        randomise(temporary);
        m_fd = ::openat(m_folder, temporary.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd < 0 && errno != EEXIST)
            return fail(errno);
    }
    if (m_fd < 0)
        return fail(EEXIST);
    m_temporary = temporary;
    // The new file gets the old one's permissions, or the usual ones.
    mode_t mode;
    if (m_replacing) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(m_fd, mode) != 0)
        return fail(errno);
    return {};
}

bool AtomicFile::writeAt(const char *data, qint64 size, qint64 offset)
{
    while (size > 0 && m_fd >= 0 && m_writeError.load() == 0) {
        const ssize_t n = ::pwrite(m_fd, data, size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int expected = 0;
            m_writeError.compare_exchange_strong(expected, n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        size -= n;
        offset += n;
    }
    return m_fd >= 0 && m_writeError.load() == 0;
}

Made<void> AtomicFile::finishRecord()
{
    if (m_record.isEmpty())
        return {};
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return fail(errno);
    const std::optional<QByteArray> hash = hashOfOpenFile(m_fd, qint64(st.st_size));
    if (!hash)
        return fail(errno ? errno : EIO);
    // A file system without user extended attributes keeps no record.
    pv::setRecord(m_fd, m_record + "output " + QByteArray::number(qint64(st.st_size)) + ' ' + *hash + '\n');
    return {};
}

namespace {
thread_local DeferredCommits *deferredHere = nullptr;
} // namespace

DeferredCommits::DeferredCommits() { deferredHere = this; }

DeferredCommits::~DeferredCommits()
{
    if (deferredHere == this)
        deferredHere = nullptr;
}

std::vector<std::unique_ptr<AtomicFile>> DeferredCommits::take() { return std::exchange(m_files, {}); }

AtomicFile::AtomicFile(AtomicFile &from, HandOver)
    : m_folder(std::exchange(from.m_folder, -1)), m_name(from.m_name), m_temporary(std::exchange(from.m_temporary, {})),
      m_record(from.m_record), m_expected(from.m_expected), m_fd(std::exchange(from.m_fd, -1)),
      m_replacing(from.m_replacing), m_keepExisting(from.m_keepExisting), m_replaceLinks(from.m_replaceLinks)
{
}

Made<void> AtomicFile::commit()
{
    if (Made<void> ready = prepare(); !ready)
        return ready;
    if (deferredHere) {
        deferredHere->m_files.push_back(std::unique_ptr<AtomicFile>(new AtomicFile(*this, HandOver{})));
        return {};
    }
    if (Made<void> synced = reachDisk(); !synced)
        return synced;
    if (Made<void> placed = place(); !placed)
        return placed;
    if (::fsync(m_folder) != 0 && errno != EINVAL)
        return failure(Fault::system(errno));
    return {};
}

// Everything that needs no wait for the disk: the writes' outcome and the
// record.
Made<void> AtomicFile::prepare()
{
    if (const int error = m_writeError.load())
        return fail(error);
    if (m_fd < 0)
        return fail(EBADF);
    return finishRecord();
}

// On the disk before it has the name, its record too: after a power
// failure the name holds the whole new file or what it held before, never
// an empty one.
Made<void> AtomicFile::reachDisk()
{
    if ((m_record.isEmpty() ? ::fdatasync(m_fd) : ::fsync(m_fd)) != 0)
        return fail(errno);
    return {};
}

// Renamed into place; the folder's entry is still to reach the disk.
Made<void> AtomicFile::place()
{
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0)
        return fail(errno);
    if (Made<void> replaceable = checkTarget(); !replaceable)
        return replaceable;
    if (Made<void> placed = putInPlace(); !placed)
        return placed;
    m_temporary.clear();
    return {};
}

std::vector<Made<void>> landAll(std::vector<std::unique_ptr<AtomicFile>> &files)
{
    std::vector<Made<void>> results(files.size());
    // Every file's writeback is started before the first wait, so that the
    // disk has them all to take in at once.
    for (const std::unique_ptr<AtomicFile> &file : files)
        ::sync_file_range(file->m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    for (size_t i = 0; i < files.size(); ++i)
        results[i] = files[i]->reachDisk();
    for (size_t i = 0; i < files.size(); ++i)
        if (results[i])
            results[i] = files[i]->place();
    struct Synced {
        FileIdentity folder;
        int error;
    };
    std::vector<Synced> folders;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!results[i])
            continue;
        const int at = files[i]->m_folder;
        struct stat st {};
        std::optional<FileIdentity> id;
        if (::fstat(at, &st) == 0)
            id = FileIdentity{st.st_dev, st.st_ino};
        auto done = std::find_if(folders.begin(), folders.end(), [&](const Synced &s) { return id && s.folder == *id; });
        int error = 0;
        if (done != folders.end()) {
            error = done->error;
        } else {
            error = ::fsync(at) != 0 && errno != EINVAL ? errno : 0;
            if (id)
                folders.push_back({*id, error});
        }
        if (error)
            results[i] = failure(Fault::system(error));
    }
    return results;
}

// Whatever took the target's name meanwhile must still be replaceable.
Made<void> AtomicFile::checkTarget()
{
    struct stat now {};
    const int found = ::fstatat(m_folder, m_name.constData(), &now, m_replaceLinks ? AT_SYMLINK_NOFOLLOW : 0);
    if (found != 0)
        return {};
    if (m_expected && !m_keepExisting && FileIdentity{now.st_dev, now.st_ino} != *m_expected)
        return fail(exists());
    if (m_replaceLinks && S_ISLNK(now.st_mode))
        return {};
    if (const std::optional<Fault> why = notRegular(now))
        return fail(*why);
    return {};
}

Made<void> AtomicFile::putInPlace()
{
    const int at = m_folder;
    const char *from = m_temporary.constData();
    const char *to = m_name.constData();
    if (!m_keepExisting)
        return ::renameat(at, from, at, to) == 0 ? Made<void>() : fail(errno);
    if (::renameat2(at, from, at, to, RENAME_NOREPLACE) == 0)
        return {};
    if (errno == EEXIST)
        return fail(exists());
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return fail(errno);
    // No such step here: a hard link fails just as surely when the name is
    // taken.
    if (::linkat(at, from, at, to, 0) == 0) {
        ::unlinkat(at, from, 0);
        return {};
    }
    if (errno == EEXIST)
        return fail(exists());
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return fail(errno);
    // No hard links either (exFAT): the name is taken exclusively, then the
    // complete file renamed over that empty one.
    const int reserved = ::openat(at, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (reserved < 0)
        return fail(errno == EEXIST ? exists() : Fault::system(errno));
    ::close(reserved);
    if (::renameat(at, from, at, to) != 0) {
        const int error = errno;
        ::unlinkat(at, to, 0);
        return fail(error);
    }
    return {};
}

} // namespace pv
