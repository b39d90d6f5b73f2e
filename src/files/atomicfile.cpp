#include "files/atomicfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {

// Only a regular file may be replaced: renaming over a device, a FIFO or a
// socket would put a file where it was. Empty for a regular file.
QString notRegular(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return QString();
    if (S_ISDIR(st.st_mode))
        return QString::fromLocal8Bit(std::strerror(EISDIR));
    return QStringLiteral("Not a regular file");
}

} // namespace

AtomicFile::AtomicFile(const QString &path, Existing existing) : m_keepExisting(existing == Existing::Keep)
{
    // Writing through a link replaces the file it points to, not the link.
    const QFileInfo info(path);
    m_target = QFile::encodeName(info.isSymLink() && info.exists() ? info.symLinkTarget() : path);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::fail(int error)
{
    if (m_error.isEmpty())
        m_error = QString::fromLocal8Bit(std::strerror(error));
    discard();
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

QString AtomicFile::open()
{
    struct stat existing {};
    if (m_keepExisting && ::lstat(m_target.constData(), &existing) == 0) {
        m_targetExisted = true;
        fail(EEXIST);
        return m_error;
    }
    if (::stat(m_target.constData(), &existing) == 0) {
        if (const QString why = notRegular(existing); !why.isEmpty()) {
            m_error = why;
            discard();
            return m_error;
        }
        if (::access(m_target.constData(), W_OK) != 0) {
            fail(errno);
            return m_error;
        }
        m_replacing = true;
    } else if (errno != ENOENT) {
        fail(errno);
        return m_error;
    }
    const qsizetype slash = m_target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : m_target.left(slash == 0 ? 1 : slash);
    const QByteArray name = m_target.mid(slash + 1);
    QByteArray pattern = folder + "/." + name + ".XXXXXX";
    m_fd = ::mkstemp(pattern.data());
    if (m_fd < 0) {
        fail(errno);
        return m_error;
    }
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
    if (::fchmod(m_fd, mode) != 0) {
        fail(errno);
        return m_error;
    }
    return QString();
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

QString AtomicFile::commit()
{
    if (const int error = m_writeError.load()) {
        fail(error);
        return m_error;
    }
    if (m_fd < 0)
        return m_error.isEmpty() ? QString::fromLocal8Bit(std::strerror(EBADF)) : m_error;
    if (m_replacing && ::fdatasync(m_fd) != 0) {
        fail(errno);
        return m_error;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        fail(errno);
        return m_error;
    }
    // Whatever took the target's name meanwhile must still be replaceable.
    struct stat now {};
    if (::stat(m_target.constData(), &now) == 0) {
        if (const QString why = notRegular(now); !why.isEmpty()) {
            m_error = why;
            discard();
            return m_error;
        }
    }
    const int renamed = m_keepExisting
                            ? ::renameat2(AT_FDCWD, m_temporary.constData(), AT_FDCWD, m_target.constData(), RENAME_NOREPLACE)
                            : ::rename(m_temporary.constData(), m_target.constData());
    if (renamed != 0) {
        m_targetExisted = errno == EEXIST;
        fail(errno);
        return m_error;
    }
    m_temporary.clear();
    return QString();
}

} // namespace pv
