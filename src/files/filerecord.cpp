#include "files/filerecord.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <xxhash.h>

#include <memory>

namespace pv {

namespace {

constexpr qint64 kChunk = 1 << 20;
// A record is a few lines; one far larger is not ours.
constexpr ssize_t kMaxRecord = 16384;

// Opens a regular file for reading without waiting on a FIFO.
Made<int> openRegular(int at, const QByteArray &name, int flags, struct stat &st)
{
    const int fd = ::openat(at, name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0)
        return failure(Fault::system(errno));
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno ? errno : EINVAL;
        ::close(fd);
        return failure(Fault::system(error));
    }
    return fd;
}

} // namespace

FileFacts factsFrom(const struct stat &st)
{
    return FileFacts{qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, {}};
}

namespace {

QByteArray hexOf(XXH128_hash_t h)
{
    return QByteArray::number(quint64(h.high64), 16).rightJustified(16, '0') +
           QByteArray::number(quint64(h.low64), 16).rightJustified(16, '0');
}

} // namespace

QByteArray hashOfBytes(const char *data, size_t size) { return hexOf(XXH3_128bits(data, size)); }

std::optional<QByteArray> hashOfOpenFile(int fd, qint64 size)
{
    struct Free {
        void operator()(XXH3_state_t *s) const { XXH3_freeState(s); }
    };
    std::unique_ptr<XXH3_state_t, Free> state(XXH3_createState());
    if (!state || XXH3_128bits_reset(state.get()) != XXH_OK)
        return std::nullopt;
    QByteArray buffer(qsizetype(std::min(size, kChunk)), Qt::Uninitialized);
    for (qint64 at = 0; at < size;) {
        const ssize_t n = ::pread(fd, buffer.data(), size_t(std::min<qint64>(buffer.size(), size - at)), off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        XXH3_128bits_update(state.get(), buffer.constData(), size_t(n));
        at += n;
    }
    return hexOf(XXH3_128bits_digest(state.get()));
}

Made<FileFacts> factsOf(const QByteArray &path)
{
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return failure(Fault::system(errno));
    if (!S_ISREG(st.st_mode))
        return failure(Fault::system(EINVAL));
    return factsFrom(st);
}

Made<FileFacts> hashedFacts(const QByteArray &path)
{
    struct stat st {};
    const Made<int> fd = openRegular(AT_FDCWD, path, 0, st);
    if (!fd)
        return failure(fd.reason());
    FileFacts facts = factsFrom(st);
    const std::optional<QByteArray> hash = hashOfOpenFile(fd.value(), facts.size);
    const int error = errno;
    ::close(fd.value());
    if (!hash)
        return failure(Fault::system(error ? error : EIO));
    facts.hash = *hash;
    return facts;
}

Made<Recorded> recordedAt(int folderFd, const QByteArray &name)
{
    struct stat st {};
    const Made<int> fd = openRegular(folderFd, name, O_NOFOLLOW, st);
    if (!fd)
        return failure(fd.reason());
    Recorded out{factsFrom(st), std::nullopt};
    QByteArray record(kMaxRecord, Qt::Uninitialized);
    const ssize_t n = ::fgetxattr(fd.value(), kRecordAttribute, record.data(), size_t(record.size()));
    if (n >= 0) {
        record.truncate(qsizetype(n));
        out.record = record;
        // Only a file with a record is worth reading through.
        if (const std::optional<QByteArray> hash = hashOfOpenFile(fd.value(), out.facts.size))
            out.facts.hash = *hash;
    }
    ::close(fd.value());
    return out;
}

bool setRecord(int fd, const QByteArray &record)
{
    return ::fsetxattr(fd, kRecordAttribute, record.constData(), size_t(record.size()), 0) == 0;
}

} // namespace pv
