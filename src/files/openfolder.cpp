#include "files/openfolder.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace pv {

namespace {

constexpr char kTemporaryTag[] = ".pvtmp.";
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

Entry entryOf(const struct stat &st)
{
    Entry e;
    e.kind = S_ISREG(st.st_mode)   ? Entry::Kind::File
             : S_ISDIR(st.st_mode) ? Entry::Kind::Folder
             : S_ISLNK(st.st_mode) ? Entry::Kind::Link
                                   : Entry::Kind::Other;
    e.size = qint64(st.st_size);
    e.identity = {st.st_dev, st.st_ino};
    return e;
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

// Makes the folders `path` names, links followed, as the user named them.
int makePath(const QByteArray &path)
{
    QByteArray part;
    for (const QByteArray &piece : path.split('/')) {
        part += piece;
        if (!piece.isEmpty() && piece != "." && ::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return errno;
        part += '/';
    }
    return 0;
}

// Opens (or makes and opens) one folder below `at`, never through a link.
int openOneBelow(int at, const QByteArray &name, bool make)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::openat(at, name.constData(), kFolderFlags | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT || !make)
            return fd;
        if (::mkdirat(at, name.constData(), 0777) != 0 && errno != EEXIST)
            return -1;
    }
    return -1;
}

void sweep(int folder, int depth)
{
    DIR *dir = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!dir)
        return;
    QList<QByteArray> below;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            below << name;
        else if (S_ISREG(st.st_mode) && isStaleTemporary(name))
            ::unlinkat(folder, name.constData(), 0);
    }
    ::closedir(dir);
    if (depth >= 256)
        return;
    for (const QByteArray &name : below) {
        const int fd = ::openat(folder, name.constData(), kFolderFlags | O_NOFOLLOW);
        if (fd >= 0) {
            sweep(fd, depth + 1);
            ::close(fd);
        }
    }
}

} // namespace

Fault throughLink()
{
    return Fault{Fault::Cause::System, QStringLiteral("the output's folder leads out of the output folder through a link")};
}

bool isThroughLink(const Fault &fault) { return fault.cause == Fault::Cause::System && fault.text == throughLink().text; }

OpenFolder::~OpenFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

OpenFolder::OpenFolder(OpenFolder &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

OpenFolder &OpenFolder::operator=(OpenFolder &&other) noexcept
{
    std::swap(m_fd, other.m_fd);
    return *this;
}

Made<OpenFolder> OpenFolder::atPath(const QByteArray &path, bool make)
{
    if (make) {
        if (const int error = makePath(path))
            return failure(Fault::system(error));
    }
    const int fd = ::open(path.isEmpty() ? "." : path.constData(), kFolderFlags);
    if (fd < 0)
        return failure(Fault::system(errno));
    return OpenFolder(fd);
}

Made<OpenFolder> OpenFolder::holding(const QByteArray &path) { return atPath(folderOf(path), false); }

Made<OpenFolder> OpenFolder::below(const QByteArray &relative, bool make) const
{
    int at = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (at < 0)
        return failure(Fault::system(errno));
    for (const QByteArray &name : relative.split('/')) {
        if (name.isEmpty() || name == ".")
            continue;
        const int fd = name == ".." ? (errno = EPERM, -1) : openOneBelow(at, name, make);
        const int error = errno;
        struct stat st {};
        const bool link = fd < 0 && ::fstatat(at, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        ::close(at);
        if (fd < 0)
            return failure(link ? throughLink() : Fault::system(error));
        at = fd;
    }
    return OpenFolder(at);
}

Entry OpenFolder::entry(const QByteArray &name) const
{
    struct stat st {};
    if (::fstatat(m_fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Entry{};
    return entryOf(st);
}

int OpenFolder::sync() const { return ::fsync(m_fd) == 0 || errno == EINVAL ? 0 : errno; }

void OpenFolder::removeStaleTemporaries() const { sweep(m_fd, 0); }

bool OpenFolder::foldsCase() const
{
    QByteArray probe = temporaryName("casecheck", NAME_MAX);
    randomise(probe);
    const int fd = ::openat(m_fd, probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    // The name is new and random: nothing else has it in other case. (On
    // FUSE the two names need not even give the same inode number.)
    QByteArray other = probe;
    for (qsizetype i = 1; i < 10; ++i)
        other[i] = char(std::toupper(static_cast<unsigned char>(other[i])));
    struct stat st {};
    const bool folds = ::fstatat(m_fd, other.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::unlinkat(m_fd, probe.constData(), 0);
    return folds;
}

QByteArray hostName()
{
    struct utsname u {};
    QByteArray host = ::uname(&u) == 0 ? QByteArray(u.nodename) : QByteArray("unknown");
    for (char &c : host)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    return host.isEmpty() ? QByteArray("unknown") : host.left(64);
}

QByteArray temporaryName(const QByteArray &name, long nameLimit)
{
    static const QByteArray host = hostName();
    const QByteArray suffix = kTemporaryTag + host + '.' + QByteArray::number(qint64(::getpid())) + ".XXXXXX";
    const qsizetype room = qsizetype(nameLimit > 0 ? nameLimit : NAME_MAX) - 1 - suffix.size();
    QByteArray kept = name;
    if (kept.size() > room) {
        qsizetype cut = std::max<qsizetype>(room, 0);
        while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xc0) == 0x80)
            --cut;
        kept.truncate(cut);
    }
    return '.' + kept + suffix;
}

void randomise(QByteArray &temporary)
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random(std::random_device{}());
    for (qsizetype i = std::max<qsizetype>(temporary.size() - 6, 0); i < temporary.size(); ++i)
        temporary[i] = letters[random() % (sizeof letters - 1)];
}

bool isStaleTemporary(const QByteArray &fileName)
{
    // ".NAME.pvtmp.HOST.PID.XXXXXX", read from the end: the host may hold dots.
    const qsizetype tag = fileName.lastIndexOf(kTemporaryTag);
    if (!fileName.startsWith('.') || tag < 0 || fileName.size() < 7 || fileName[fileName.size() - 7] != '.')
        return false;
    const QByteArray rest = fileName.mid(tag + qsizetype(sizeof kTemporaryTag) - 1).chopped(7);
    const qsizetype dot = rest.lastIndexOf('.');
    bool ok = false;
    const qint64 pid = dot > 0 ? rest.mid(dot + 1).toLongLong(&ok) : 0;
    if (!ok || pid <= 0 || pid > INT_MAX || rest.left(dot) != hostName())
        return false;
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

Entry entryAt(const QByteArray &path)
{
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return Entry{};
    return entryOf(st);
}

FolderListing listFolder(const QByteArray &path)
{
    FolderListing out;
    const int fd = ::open(path.constData(), kFolderFlags);
    DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return out;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        struct stat st {};
        if (name.startsWith('.') || ::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // hidden, or . and ..
        if (S_ISDIR(st.st_mode))
            out.folders << name;
        else if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && ::fstatat(fd, name.constData(), &st, 0) == 0 && S_ISREG(st.st_mode)))
            out.files << name;
    }
    ::closedir(dir);
    std::sort(out.files.begin(), out.files.end());
    std::sort(out.folders.begin(), out.folders.end());
    return out;
}

QByteArray resolvedPath(const QByteArray &path)
{
    char *real = ::realpath(path.constData(), nullptr);
    if (!real)
        return QByteArray();
    const QByteArray out(real);
    std::free(real);
    return out;
}

Made<void> canMakeFolders(const QByteArray &path)
{
    QByteArray part;
    for (const QByteArray &piece : path.split('/')) {
        part += piece;
        if (!piece.isEmpty() && piece != ".") {
            struct stat st {};
            if (::stat(part.constData(), &st) != 0)
                return errno == ENOENT ? Made<void>() : Made<void>(failure(Fault::system(errno)));
            if (!S_ISDIR(st.st_mode))
                return failure(Fault::system(ENOTDIR));
        }
        part += '/';
    }
    return {};
}

} // namespace pv

namespace pv {

namespace {

// Whether the regular file open as `fd` may be replaced as a report.
bool reportMayGo(int fd, const struct stat &st, FirstBytesCheck isReport)
{
    char head[64] = {};
    const ssize_t n = st.st_size > 0 ? ::pread(fd, head, sizeof head, 0) : 0;
    return n >= 0 && isReport(QByteArray(head, qsizetype(n)), qint64(st.st_size));
}

// A device, a pipe, or a link: opened as it is, without waiting for a
// reader to open a pipe; a regular file behind a link is checked, then
// emptied.
Made<int> openAsItIs(const QByteArray &path, FirstBytesCheck isReport, bool checkOnly)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failure(Fault::system(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const int reader = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const bool mayGo = reader >= 0 && reportMayGo(reader, st, isReport);
        if (reader >= 0)
            ::close(reader);
        if (!mayGo) {
            ::close(fd);
            return failure(Fault{Fault::Cause::Exists, QString()});
        }
        if (!checkOnly && ::ftruncate(fd, 0) != 0) {
            const int error = errno;
            ::close(fd);
            return failure(Fault::system(error));
        }
    }
    if (checkOnly) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// A new, empty report in place of a regular file or of nothing, made in
// the folder and renamed over the name.
Made<int> replaceByNew(const OpenFolder &folder, const QByteArray &name, const struct stat *old)
{
    if (!old) {
        const int fd = ::openat(folder.fd(), name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            return failure(errno == EEXIST ? Fault{Fault::Cause::Exists, QString()} : Fault::system(errno));
        return fd;
    }
    QByteArray temporary = temporaryName(name, NAME_MAX);
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        randomise(temporary);
        fd = ::openat(folder.fd(), temporary.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return failure(Fault::system(errno));
    }
    const bool placed = fd >= 0 && ::fchmod(fd, old->st_mode & 07777) == 0 &&
                        ::renameat(folder.fd(), temporary.constData(), folder.fd(), name.constData()) == 0;
    if (placed)
        return fd;
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
        ::unlinkat(folder.fd(), temporary.constData(), 0);
    }
    return failure(error == EEXIST ? Fault{Fault::Cause::Exists, QString()} : Fault::system(error));
}

} // namespace

Made<int> openReport(const QByteArray &path, FirstBytesCheck isReport, bool checkOnly)
{
    if (path == "-")
        return checkOnly ? -1 : ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    struct stat st {};
    const bool exists = ::lstat(path.constData(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return openAsItIs(path, isReport, checkOnly);
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray name = path.mid(slash + 1);
    Made<OpenFolder> folder = OpenFolder::holding(path);
    if (!folder)
        return failure(folder.reason());
    if (exists) {
        const int reader = ::openat(folder->fd(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const bool mayGo = reader >= 0 && reportMayGo(reader, st, isReport);
        if (reader >= 0)
            ::close(reader);
        if (!mayGo)
            return failure(Fault{Fault::Cause::Exists, QString()});
    }
    if (checkOnly) {
        if (::faccessat(folder->fd(), ".", W_OK | X_OK, 0) != 0)
            return failure(Fault::system(errno));
        return -1;
    }
    // Where an older report's name goes now, renaming makes the replacement
    // whole: the old report is there until the new one is.
    return replaceByNew(folder.value(), name, exists && S_ISREG(st.st_mode) ? &st : nullptr);
}

int writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    return 0;
}

int syncOpenFile(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno; }

void closeOpenFile(int fd) { ::close(fd); }

} // namespace pv
