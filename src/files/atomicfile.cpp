#include "files/atomicfile.h"

#include "input/filenames.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Temporary names are ".<name>.pvtmp<pid>.XXXXXX"; the name part is cut
// short where the whole would not fit the folder's name limit, at a
// character's boundary.
constexpr char kTemporaryTag[] = ".pvtmp";

QByteArray temporaryPattern(const QByteArray &folder, QByteArray name)
{
    const QByteArray suffix = kTemporaryTag + QByteArray::number(qint64(::getpid())) + ".XXXXXX";
    long limit = ::pathconf(folder.constData(), _PC_NAME_MAX);
    if (limit <= 0)
        limit = NAME_MAX;
    const qsizetype room = qsizetype(limit) - 1 - suffix.size();
    if (name.size() > room) {
        qsizetype cut = std::max<qsizetype>(room, 0);
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80)
            --cut;
        name.truncate(cut);
    }
    return folder + "/." + name + suffix;
}

int syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    ::close(fd);
    return result;
}

} // namespace

AtomicFile::AtomicFile(const QString &path, Existing existing, Links links)
    : m_keepExisting(existing == Existing::Keep), m_replaceLinks(links == Links::Replace)
{
    m_target = bytesOfName(path);
    struct stat st {};
    if (!m_replaceLinks && ::lstat(m_target.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Writing through a link replaces the file it points to, not the link.
        if (char *resolved = ::realpath(m_target.constData(), nullptr)) {
            m_target = resolved;
            std::free(resolved);
        }
    }
    const qsizetype slash = m_target.lastIndexOf('/');
    m_folder = slash < 0 ? QByteArray(".") : m_target.left(slash == 0 ? 1 : slash);
}

AtomicFile::~AtomicFile() { discard(); }

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
        ::unlink(m_temporary.constData());
        m_temporary.clear();
    }
}

Made<void> AtomicFile::open()
{
    struct stat existing {};
    if (m_keepExisting && ::lstat(m_target.constData(), &existing) == 0)
        return fail(exists());
    const int found = m_replaceLinks ? ::lstat(m_target.constData(), &existing) : ::stat(m_target.constData(), &existing);
    if (found == 0) {
        if (m_replaceLinks && S_ISLNK(existing.st_mode)) {
            existing.st_mode = 0; // the link goes; the new file has the usual permissions
        } else {
            if (const std::optional<Fault> why = notRegular(existing))
                return fail(*why);
            if (::access(m_target.constData(), W_OK) != 0)
                return fail(errno);
            m_replacing = true;
        }
    } else if (errno != ENOENT) {
        return fail(errno);
    }
    QByteArray pattern = temporaryPattern(m_folder, m_target.mid(m_target.lastIndexOf('/') + 1));
    m_fd = ::mkstemp(pattern.data());
    if (m_fd < 0)
        return fail(errno);
    m_temporary = pattern;
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

Made<void> AtomicFile::commit()
{
    if (const int error = m_writeError.load())
        return fail(error);
    if (m_fd < 0)
        return fail(EBADF);
    // On the disk before it has the name: after a power failure the name
    // holds the whole new file or what it held before, never an empty one.
    if (::fdatasync(m_fd) != 0)
        return fail(errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail(errno);
    // Whatever took the target's name meanwhile must still be replaceable.
    struct stat now {};
    const int found = m_replaceLinks ? ::lstat(m_target.constData(), &now) : ::stat(m_target.constData(), &now);
    if (found == 0 && !(m_replaceLinks && S_ISLNK(now.st_mode))) {
        if (const std::optional<Fault> why = notRegular(now))
            return fail(*why);
    }
    if (Made<void> placed = putInPlace(); !placed)
        return placed;
    m_temporary.clear();
    if (const int error = syncFolder(m_folder))
        return failure(Fault::system(error));
    return {};
}

Made<void> AtomicFile::putInPlace()
{
    const char *from = m_temporary.constData();
    const char *to = m_target.constData();
    if (!m_keepExisting)
        return ::rename(from, to) == 0 ? Made<void>() : fail(errno);
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return {};
    if (errno == EEXIST)
        return fail(exists());
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return fail(errno);
    // No such step here: a hard link fails just as surely when the name is
    // taken.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return {};
    }
    if (errno == EEXIST)
        return fail(exists());
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return fail(errno);
    // No hard links either (exFAT): the name is taken exclusively, then the
    // complete file renamed over that empty one.
    const int reserved = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (reserved < 0)
        return fail(errno == EEXIST ? exists() : Fault::system(errno));
    ::close(reserved);
    if (::rename(from, to) != 0) {
        const int error = errno;
        ::unlink(to);
        return fail(error);
    }
    return {};
}

bool AtomicFile::isStaleTemporary(const QByteArray &fileName)
{
    if (!fileName.startsWith('.'))
        return false;
    const qsizetype tag = fileName.lastIndexOf(kTemporaryTag);
    if (tag <= 0)
        return false;
    const QByteArray rest = fileName.mid(tag + qsizetype(sizeof kTemporaryTag) - 1);
    const qsizetype dot = rest.indexOf('.');
    if (dot <= 0 || rest.size() - dot - 1 != 6)
        return false;
    bool ok = false;
    const qint64 pid = rest.left(dot).toLongLong(&ok);
    if (!ok || pid <= 0 || pid > INT_MAX)
        return false;
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

} // namespace pv
