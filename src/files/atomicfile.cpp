#include "files/atomicfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
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

} // namespace

AtomicFile::AtomicFile(const QString &path, Existing existing) : m_keepExisting(existing == Existing::Keep)
{
    // Writing through a link replaces the file it points to, not the link.
    const QFileInfo info(path);
    m_target = QFile::encodeName(info.isSymLink() && info.exists() ? info.symLinkTarget() : path);
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
        return fail(Fault{Fault::Cause::Exists, QString::fromLocal8Bit(std::strerror(EEXIST))});
    if (::stat(m_target.constData(), &existing) == 0) {
        if (const std::optional<Fault> why = notRegular(existing))
            return fail(*why);
        if (::access(m_target.constData(), W_OK) != 0)
            return fail(errno);
        m_replacing = true;
    } else if (errno != ENOENT) {
        return fail(errno);
    }
    const qsizetype slash = m_target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : m_target.left(slash == 0 ? 1 : slash);
    const QByteArray name = m_target.mid(slash + 1);
    QByteArray pattern = folder + "/." + name + ".XXXXXX";
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
    if (m_replacing && ::fdatasync(m_fd) != 0)
        return fail(errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail(errno);
    // Whatever took the target's name meanwhile must still be replaceable.
    struct stat now {};
    if (::stat(m_target.constData(), &now) == 0) {
        if (const std::optional<Fault> why = notRegular(now))
            return fail(*why);
    }
    const int renamed = m_keepExisting
                            ? ::renameat2(AT_FDCWD, m_temporary.constData(), AT_FDCWD, m_target.constData(), RENAME_NOREPLACE)
                            : ::rename(m_temporary.constData(), m_target.constData());
    if (renamed != 0) {
        const int error = errno;
        return fail(Fault{error == EEXIST ? Fault::Cause::Exists : Fault::Cause::System,
                          QString::fromLocal8Bit(std::strerror(error))});
    }
    m_temporary.clear();
    return {};
}

} // namespace pv
