// The parent's side of decoding in a child process.
#include "files/isolated.h"

#include "files/colour.h"

#include "files/decoders.h"
#include "files/formats.h"
#include "files/isolatedwire.h"
#include "files/picture.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace pv {

namespace {

#if defined(PIXELVANE_SANITIZED)
// The sanitizers reserve terabytes of address space and report through
// standard error.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

QString executableFolder() { return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2); }

// The child program, found once.
const QString &decoderProgram()
{
    static const QString program = [] {
        if (const QString chosen = qEnvironmentVariable("PIXELVANE_DECODER"); !chosen.isEmpty())
            return chosen;
        const QString here = executableFolder();
        const QStringList candidates{here + QStringLiteral("/pixelvane-decode"),
                                     here + QStringLiteral("/" PIXELVANE_LIBEXEC_FROM_BIN "/pixelvane-decode")};
        for (const QString &c : candidates)
            if (QFileInfo(c).isExecutable())
                return c;
        // A program of the build tree, a test or a fuzzer, uses the tree's.
        if (here.startsWith(QStringLiteral(PIXELVANE_BUILD_DIR "/")) || here == QStringLiteral(PIXELVANE_BUILD_DIR))
            return QStringLiteral(PIXELVANE_BUILD_DIR "/pixelvane-decode");
        return QStringLiteral(PIXELVANE_LIBEXEC "/pixelvane-decode");
    }();
    return program;
}

int secondsChosen()
{
    static const int seconds = qEnvironmentVariableIntValue("PIXELVANE_DECODER_SECONDS");
    return seconds;
}

QString describeErrno(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// A child and its socket; ended (killed and reaped) with the object.
class Child {
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { end(); }

    [[nodiscard]] bool running() const { return m_pid > 0; }
    [[nodiscard]] int socket() const { return m_socket; }
    // Running, and waiting for a request: not ended meanwhile.
    [[nodiscard]] bool idle() const
    {
        pollfd watched{m_socket, POLLIN, 0};
        return running() && ::poll(&watched, 1, 0) == 0;
    }
    Made<void> start();
    // Kills it and returns how it ended (waitpid's status): how it died,
    // where it had died already.
    int end();

private:
    pid_t m_pid = -1;
    int m_socket = -1;
};

Made<void> Child::start()
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return failure(Fault{Fault::Cause::Crashed, QStringLiteral("cannot start the decoder: ") + describeErrno(errno)});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], wire::kSocketFd);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (!kSanitized)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, wire::kSocketFd + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    // Its own process group: a Ctrl+C at the terminal reaches the program,
    // which ends its children itself.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    const QByteArray program = decoderProgram().toLocal8Bit();
    const QByteArray parent = QByteArray::number(::getpid());
    char *argv[] = {const_cast<char *>("pixelvane-decode"), const_cast<char *>("--serve"),
                    const_cast<char *>(parent.constData()), nullptr};
    const int error = ::posix_spawn(&m_pid, program.constData(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pair[1]);
    if (error != 0) {
        ::close(pair[0]);
        m_pid = -1;
        return failure(Fault{Fault::Cause::Crashed,
                             QStringLiteral("cannot start the decoder %1: %2").arg(decoderProgram(), describeErrno(error))});
    }
    m_socket = pair[0];
    return {};
}

int Child::end()
{
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    int status = 0;
    if (m_pid > 0)
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    m_pid = -1;
    return status;
}

// The thread's child, reused from picture to picture.
Child &threadChild()
{
    thread_local Child child;
    return child;
}

} // namespace

namespace {

Failure<Fault> crashed(const QString &why) { return failure(Fault{Fault::Cause::Crashed, why}); }

// The picture file's bytes in a sealed memory file.
int bytesFile(const QByteArray &bytes)
{
    const int fd = ::memfd_create("pixelvane-picture", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += n;
    }
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

// The child's pixels, mapped privately: the file is sealed against
// writing and shrinking, so what is mapped stays as checked.
Made<QImage> mappedPixels(int fd, int width, int height, bool transparent)
{
    if (!sizeAllowed(width, height))
        return failure(Fault::content(QStringLiteral("the decoder gave a picture too large")));
    const size_t bytes = size_t(width) * size_t(height) * 4;
    struct stat st {};
    const int seals = ::fcntl(fd, F_GET_SEALS);
    const int needed = F_SEAL_SHRINK | F_SEAL_WRITE;
    if (::fstat(fd, &st) != 0 || size_t(st.st_size) < bytes || seals < 0 || (seals & needed) != needed)
        return crashed(QStringLiteral("the decoder gave no pixels"));
    void *mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED)
        return failure(Fault::memory());
    struct Mapping {
        void *address;
        size_t bytes;
    };
    auto *mapping = new Mapping{mapped, bytes};
    return QImage(
        static_cast<uchar *>(mapped), width, height, qsizetype(width) * 4,
        transparent ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32,
        [](void *info) {
            auto *m = static_cast<Mapping *>(info);
            ::munmap(m->address, m->bytes);
            delete m;
        },
        mapping);
}

constexpr int kWaitFactor = 3;

struct Limits {
    qint64 memory = 0; // bytes; 0: not limited
    int seconds = 0;
};

int mebibytes(qint64 bytes) { return int((bytes + (1 << 20) - 1) >> 20); }

// Why the child ended while it had a picture.
Fault death(int status, const Limits &limits)
{
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU))
        return Fault::content(QStringLiteral("the decoder went over its time limit of %1 s").arg(limits.seconds));
    if (WIFSIGNALED(status))
        return {Fault::Cause::Crashed, QStringLiteral("the decoder crashed (signal %1)").arg(WTERMSIG(status))};
    return {Fault::Cause::Crashed, QStringLiteral("the decoder ended unexpectedly (exit status %1)").arg(WEXITSTATUS(status))};
}

// Waits for the child's answer until the deadline or the stop; the child
// is ended in both cases. Refused when it was ended, else what came.
Made<wire::Reply> awaitReply(Child &child, const Limits &limits, const std::atomic<bool> *stop, int &pixelsFd)
{
    using Clock = std::chrono::steady_clock;
    // Processor time is the limit (RLIMIT_CPU in the child); a child that
    // waits instead of working is ended at a few times that, which leaves
    // room for a machine busy with other work.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limits.seconds * kWaitFactor);
    for (;;) {
        if (stop && stop->load()) {
            child.end();
            return failure(Fault::content(QStringLiteral("stopped")));
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            child.end();
            return failure(Fault::content(QStringLiteral("the decoder went over its time limit of %1 s").arg(limits.seconds)));
        }
        pollfd watched{child.socket(), POLLIN, 0};
        const int ready = ::poll(&watched, 1, int(std::min<qint64>(left, stop ? 50 : 1000)));
        if (ready <= 0)
            continue;
        wire::Reply reply;
        const ssize_t got = wire::receiveWithFd(child.socket(), &reply, sizeof reply, pixelsFd);
        if (got == ssize_t(sizeof reply) && reply.magic == wire::kMagic)
            return reply;
        if (pixelsFd >= 0)
            ::close(pixelsFd);
        pixelsFd = -1;
        // Dead, or speaking nonsense: it is ended either way.
        return failure(death(child.end(), limits));
    }
}

// What a reply means for the picture.
// A kept profile larger than this is not taken from a child.
constexpr quint32 kMostProfileBytes = 16u << 20;

Made<QImage> replied(const wire::Reply &reply, int pixelsFd, const Limits &limits)
{
    const QString text = QString::fromUtf8(reply.text, qstrnlen(reply.text, sizeof reply.text));
    switch (reply.status) {
    case wire::Status::Decoded:
        if (pixelsFd < 0)
            return crashed(QStringLiteral("the decoder gave no pixels"));
        if (reply.profileBytes > 0 && reply.profileBytes <= kMostProfileBytes) {
            QByteArray icc(qsizetype(reply.profileBytes), Qt::Uninitialized);
            const off_t at = off_t(reply.width) * reply.height * 4;
            if (::pread(pixelsFd, icc.data(), size_t(icc.size()), at) == ssize_t(icc.size()))
                KeepColours::offer(icc);
        }
        return mappedPixels(pixelsFd, reply.width, reply.height, reply.transparent != 0);
    case wire::Status::Refused:
        return failure(Fault::content(text.isEmpty() ? QStringLiteral("refused by the decoder") : text));
    case wire::Status::OverMemory:
        if (limits.memory > 0)
            return failure(Fault::content(
                QStringLiteral("the decoder went over its memory limit of %1 MiB").arg(mebibytes(limits.memory))));
        return failure(Fault::memory());
    case wire::Status::NoMemory:
        return failure(Fault::memory());
    }
    return crashed(QStringLiteral("the decoder gave an unknown answer"));
}

} // namespace

namespace {

// The size the picture's header claims, read without decoding it; the
// batch command's admission reads the same.
QSize headerSize(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    const Made<QSize> size = formatOf(bytes.left(kSignatureBytes)).headerSize(buffer, bytes.size());
    return size ? size.value() : QSize();
}

Limits limitsFor(const QByteArray &bytes, const IsolatedRequest &request)
{
    qint64 budget = request.memoryBudget;
    if (budget <= 0) {
        const QSize size = headerSize(bytes);
        budget = openingBytes(size.isValid() ? size : QSize(4000, 3000), bytes.size(), true);
    }
    Limits limits;
    limits.memory = kSanitized ? 0 : budget + wire::kBaseBytes;
    limits.seconds = secondsChosen() > 0 ? secondsChosen() : isolatedSeconds(budget);
    return limits;
}

// One request to the thread's child, started if it is not running.
Made<QImage> ask(const QByteArray &bytes, const IsolatedRequest &request, const Limits &limits)
{
    Child &child = threadChild();
    if (child.running() && !child.idle())
        child.end();
    if (!child.running())
        if (const Made<void> started = child.start(); !started)
            return failure(started.reason());
    const int bytesFd = bytesFile(bytes);
    if (bytesFd < 0)
        return failure(Fault::memory());
    wire::Request message;
    message.kind = quint32(request.kind);
    message.background = request.background;
    message.helpers = request.work.helpers;
    message.bytes = bytes.size();
    message.memoryLimit = limits.memory;
    message.seconds = limits.seconds;
    message.keepProfile = request.keepProfile ? 1 : 0;
    if (request.kind == IsolatedKind::Heif && request.thumbnail.isValid()) {
        message.thumbnailWidth = request.thumbnail.width();
        message.thumbnailHeight = request.thumbnail.height();
    }
    const bool sent = wire::sendWithFd(child.socket(), &message, sizeof message, bytesFd);
    ::close(bytesFd);
    if (!sent)
        return failure(death(child.end(), limits));
    int pixelsFd = -1;
    const Made<wire::Reply> reply = awaitReply(child, limits, request.stop, pixelsFd);
    if (!reply)
        return failure(reply.reason());
    Made<QImage> image = replied(reply.value(), pixelsFd, limits);
    if (pixelsFd >= 0)
        ::close(pixelsFd);
    if (reply->retiring)
        child.end();
    return image;
}

} // namespace

void startIsolatedEarly()
{
    Child &child = threadChild();
    if (!child.running())
        (void)child.start();
}

int isolatedSeconds(qint64 memoryBudget)
{
    // A decoder gets through a megapixel (32 MiB of budget, see
    // openingBytes) in well under a second; ten seconds besides for a slow
    // start on a busy machine.
    return int(std::min<qint64>(10 + memoryBudget / (qint64(32) << 20), 3600));
}

Made<QImage> decodeIsolated(const QByteArray &bytes, const IsolatedRequest &request)
{
    const Limits limits = limitsFor(bytes, request);
    Made<QImage> image = ask(bytes, request, limits);
    if (!image)
        qCDebug(lcFiles, "the decoder refused: %s", qUtf8Printable(image.reason().text));
    return image;
}

} // namespace pv
