// The child's side of decodeIsolated: one request at a time, each under the
// limits it carries.
#include "files/colour.h"
#include "files/decoders.h"
#include "files/isolated.h"
#include "files/isolatedwire.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace pv {

namespace {

// The data the process holds (its heap, anonymous memory and stacks), as
// RLIMIT_DATA counts it.
qint64 dataBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 5 ? fields[5].toLongLong() * sysconf(_SC_PAGE_SIZE) : 0;
}

void setSoftLimit(int resource, rlim_t soft)
{
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? soft : std::min(soft, limit.rlim_max);
    ::setrlimit(resource, &limit);
}

void applyLimits(const wire::Request &request)
{
    if (request.memoryLimit > 0)
        setSoftLimit(RLIMIT_DATA, rlim_t(dataBytes() + request.memoryLimit));
    rusage used{};
    ::getrusage(RUSAGE_SELF, &used);
    const qint64 spent = used.ru_utime.tv_sec + used.ru_stime.tv_sec + 1;
    setSoftLimit(RLIMIT_CPU, rlim_t(spent + request.seconds));
}

void liftLimits()
{
    setSoftLimit(RLIMIT_DATA, RLIM_INFINITY);
    setSoftLimit(RLIMIT_CPU, RLIM_INFINITY);
}

void say(wire::Reply &reply, wire::Status status, const QString &text)
{
    reply.status = status;
    const QByteArray utf8 = text.toUtf8().left(sizeof reply.text - 1);
    std::memcpy(reply.text, utf8.constData(), size_t(utf8.size()));
}

// The picture laid over the background into a sealed memory file of its
// pixels, in bands over the work's threads; -1 when that memory cannot be
// had.
int pixelsFile(const QImage &image, QRgb background, const QByteArray &profile, const Work &work)
{
    const int fd = ::memfd_create("pixelvane-pixels", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    const size_t bytes = size_t(image.width()) * size_t(image.height()) * 4;
    void *mapped = ::ftruncate(fd, off_t(bytes + size_t(profile.size()))) == 0
                       ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0)
                       : MAP_FAILED;
    if (mapped == MAP_FAILED) {
        ::close(fd);
        return -1;
    }
    const int w = image.width();
    splitRows(work, image.height(), qint64(w) * image.height(), [&](int first, int last) {
        const QImage in(image.constScanLine(first), w, last - first, image.bytesPerLine(), image.format());
        QImage out(static_cast<uchar *>(mapped) + qsizetype(first) * w * 4, w, last - first, w * 4,
                   QImage::Format_RGB32);
        flattenInto(in, background, out);
    });
    ::munmap(mapped, bytes);
    if (!profile.isEmpty() && ::pwrite(fd, profile.constData(), size_t(profile.size()), off_t(bytes)) != profile.size()) {
        ::close(fd);
        return -1;
    }
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Decodes under the request's limits; the pixels' file goes to pixelsFd.
wire::Reply decodeLimited(const wire::Request &request, const QByteArray &bytes, const IsolatedDecoder &decode,
                          int &pixelsFd)
{
    wire::Reply reply;
    applyLimits(request);
    try {
        const Work work{qMax(request.helpers, 0)};
        std::optional<KeepColours> keep;
        if (request.keepProfile)
            keep.emplace();
        const QSize thumbnail(request.thumbnailWidth, request.thumbnailHeight);
        const Made<QImage> made =
            decode(bytes, IsolatedKind(request.kind), work, thumbnail.isEmpty() ? QSize() : thumbnail);
        if (!made) {
            const bool memory = made.reason().cause == Fault::Cause::Memory;
            say(reply, memory ? wire::Status::OverMemory : wire::Status::Refused, made.reason().text);
        } else {
            const QByteArray profile = keep ? keep->profile.left(16 << 20) : QByteArray();
            pixelsFd = pixelsFile(made.value(), request.background, profile, work);
            reply.profileBytes = pixelsFd < 0 ? 0 : quint32(profile.size());
            reply.status = pixelsFd < 0 ? wire::Status::NoMemory : wire::Status::Decoded;
            reply.width = made->width();
            reply.height = made->height();
            reply.transparent = qAlpha(request.background) == 0 && made->hasAlphaChannel();
        }
    } catch (const std::bad_alloc &) {
        say(reply, wire::Status::OverMemory, QString());
    } catch (const std::system_error &e) {
        // Threads that cannot be started for lack of memory.
        const bool memory = e.code() == std::errc::resource_unavailable_try_again ||
                            e.code() == std::errc::not_enough_memory;
        say(reply, memory ? wire::Status::OverMemory : wire::Status::Refused, QString::fromLocal8Bit(e.what()));
    }
    liftLimits();
    return reply;
}

// Answers one request whose file's bytes are in bytesFd.
wire::Reply answer(const wire::Request &request, int bytesFd, const IsolatedDecoder &decode, int &pixelsFd)
{
    wire::Reply reply;
    struct stat st {};
    if (::fstat(bytesFd, &st) != 0 || request.bytes < 0 || st.st_size < request.bytes) {
        say(reply, wire::Status::Refused, QStringLiteral("the file's bytes did not arrive"));
        return reply;
    }
    const size_t length = size_t(std::max<qint64>(request.bytes, 1));
    void *mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, bytesFd, 0);
    if (mapped == MAP_FAILED) {
        say(reply, wire::Status::NoMemory, QString());
        return reply;
    }
    const QByteArray bytes = QByteArray::fromRawData(static_cast<const char *>(mapped), qsizetype(request.bytes));
    reply = decodeLimited(request, bytes, decode, pixelsFd);
    ::munmap(mapped, length);
    // A child left holding much is replaced. Without a limit (under the
    // sanitizers, whose reserved memory counts as data) there is none.
    ::malloc_trim(0);
    reply.retiring = request.memoryLimit > 0 && dataBytes() > wire::kRetireBytes;
    return reply;
}

} // namespace

Made<QImage> decodeForChild(const QByteArray &bytes, IsolatedKind kind, const Work &work, QSize thumbnail)
{
    if (kind == IsolatedKind::Heif)
        return decodeHeif(bytes, work, thumbnail);
    if (kind == IsolatedKind::Jxl)
        return decodeJxl(bytes, work);
    return decodeWithQt(bytes, work);
}

int serveIsolated(int socket, const IsolatedDecoder &decode)
{
    for (;;) {
        wire::Request request;
        int bytesFd = -1;
        const ssize_t got = wire::receiveWithFd(socket, &request, sizeof request, bytesFd);
        if (got == 0)
            return 0;
        if (got != ssize_t(sizeof request) || request.magic != wire::kMagic || bytesFd < 0) {
            if (bytesFd >= 0)
                ::close(bytesFd);
            return 2;
        }
        int pixelsFd = -1;
        const wire::Reply reply = answer(request, bytesFd, decode, pixelsFd);
        ::close(bytesFd);
        const bool sent = wire::sendWithFd(socket, &reply, sizeof reply, pixelsFd);
        if (pixelsFd >= 0)
            ::close(pixelsFd);
        if (!sent || reply.retiring)
            return sent ? 0 : 2;
    }
}

int startIsolatedChild(int argc, char **argv)
{
    if (argc != 3 || std::strcmp(argv[1], "--serve") != 0) {
        std::fputs("pixelvane-decode: a part of pixelvane, started by it alone\n", stderr);
        return -1;
    }
    // Ends with the thread that started it, never outliving the program.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (QByteArray::number(::getppid()) != argv[2])
        return -1;
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    // A damaged picture can make a decoder read memory it never wrote
    // (libde265 does), and so show what an earlier picture left there.
    // Every block is filled as it is handed out and as it is freed, so
    // such a picture comes out the same each time and shows nothing else.
    mallopt(M_PERTURB, 0xa5);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(wire::kSocketFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET)
        return -1;
    return wire::kSocketFd;
}

} // namespace pv
