#include "batch/folders.h"

#include "files/atomicfile.h"
#include "input/filenames.h"

#include <QHashFunctions>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv::batch {

namespace {

QString reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The nearest folder at or above `path` that exists, as bytes.
QByteArray nearestExisting(QByteArray path)
{
    struct stat st {};
    while (!path.isEmpty() && ::stat(path.constData(), &st) != 0) {
        const qsizetype slash = path.lastIndexOf('/');
        path = slash <= 0 ? (slash == 0 ? QByteArray("/") : QByteArray(".")) : path.left(slash);
        if (path == "/" || path == ".")
            break;
    }
    return path.isEmpty() ? QByteArray(".") : path;
}

} // namespace

size_t qHash(const Identity &id, size_t seed) { return ::qHash(quint64(id.inode), seed) ^ ::qHash(quint64(id.device), 0); }

std::optional<Identity> identityOf(const QString &path)
{
    struct stat st {};
    if (::stat(bytesOfName(path).constData(), &st) != 0)
        return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
}

Kind kindOf(const QString &path)
{
    struct stat st {};
    if (::stat(bytesOfName(path).constData(), &st) != 0)
        return Kind::Missing;
    return S_ISREG(st.st_mode) ? Kind::File : S_ISDIR(st.st_mode) ? Kind::Folder : Kind::Other;
}

Attempt<void> canMakeFolders(const QString &path)
{
    QByteArray part;
    for (const QByteArray &piece : bytesOfName(path).split('/')) {
        part += piece;
        if (!piece.isEmpty() && piece != ".") {
            struct stat st {};
            if (::stat(part.constData(), &st) != 0)
                return errno == ENOENT ? Attempt<void>() : Attempt<void>(failure(reason(errno)));
            if (!S_ISDIR(st.st_mode))
                return failure(reason(ENOTDIR));
        }
        part += '/';
    }
    return {};
}

Attempt<void> makeFolders(const QString &path)
{
    QByteArray part;
    for (const QByteArray &piece : bytesOfName(path).split('/')) {
        part += piece;
        if (!piece.isEmpty() && piece != "." && ::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return failure(reason(errno));
        part += '/';
    }
    struct stat st {};
    if (::stat(bytesOfName(path).constData(), &st) != 0)
        return failure(reason(errno));
    if (!S_ISDIR(st.st_mode))
        return failure(reason(ENOTDIR));
    return {};
}

Listing listFolder(const QString &folder)
{
    Listing out;
    const QByteArray base = bytesOfName(folder);
    DIR *dir = ::opendir(base.constData());
    if (!dir)
        return out;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.'))
            continue; // hidden, or . and ..
        const QByteArray full = base + '/' + name;
        struct stat st {};
        if (::lstat(full.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            out.folders << nameFromBytes(name);
        } else if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && ::stat(full.constData(), &st) == 0 && S_ISREG(st.st_mode))) {
            out.files << nameFromBytes(name);
        }
    }
    ::closedir(dir);
    std::sort(out.files.begin(), out.files.end());
    std::sort(out.folders.begin(), out.folders.end());
    return out;
}

QString resolved(const QString &path)
{
    char *real = ::realpath(bytesOfName(path).constData(), nullptr);
    if (!real)
        return QString();
    const QString out = nameFromBytes(real);
    std::free(real);
    return out;
}

bool liesWithin(const QString &path, const QString &folder)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString parent = resolved(slash < 0 ? QStringLiteral(".") : slash == 0 ? QStringLiteral("/") : path.left(slash));
    const QString root = resolved(folder);
    if (parent.isEmpty() || root.isEmpty())
        return false;
    return parent == root || parent.startsWith(root.endsWith(u'/') ? root : root + u'/');
}

bool foldsCase(const QString &folder)
{
    const QByteArray at = nearestExisting(bytesOfName(folder));
    // Named as a temporary file of ours, so that a killed run's is removed.
    QByteArray probe = at + "/.casecheck.pvtmp" + QByteArray::number(qint64(::getpid())) + ".XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return false;
    ::close(fd);
    QByteArray other = probe;
    const qsizetype from = other.lastIndexOf("/.casecheck") + 2;
    for (qsizetype i = from; i < from + 9; ++i)
        other[i] = char(std::toupper(static_cast<unsigned char>(other[i])));
    // The name is new and random: nothing else has it in other case. (On
    // FUSE the two names need not even give the same inode number.)
    struct stat st {};
    const bool folds = ::stat(other.constData(), &st) == 0;
    ::unlink(probe.constData());
    return folds;
}

void removeStaleTemporaries(const QString &folder)
{
    const QByteArray base = bytesOfName(folder);
    DIR *dir = ::opendir(base.constData());
    if (!dir)
        return;
    QList<QByteArray> below;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray full = base + '/' + name;
        struct stat st {};
        if (::lstat(full.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            below << full;
        else if (S_ISREG(st.st_mode) && AtomicFile::isStaleTemporary(name))
            ::unlink(full.constData());
    }
    ::closedir(dir);
    for (const QByteArray &sub : below)
        removeStaleTemporaries(nameFromBytes(sub));
}

} // namespace pv::batch
