#include "batch/report.h"

#include "batch/folders.h"
#include "input/filenames.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv::batch {

namespace {

const char *statusName(Outcome::Status s)
{
    switch (s) {
    case Outcome::Status::Written:
        return "written";
    case Outcome::Status::Skipped:
        return "skipped";
    case Outcome::Status::Refused:
        return "refused";
    case Outcome::Status::Failed:
        return "failed";
    case Outcome::Status::NotDone:
        break;
    }
    return "";
}

QString duration(double seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds, 0, 'f', seconds < 10 ? 1 : 0);
    const int s = int(seconds + 0.5);
    return s < 3600 ? QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60)
                    : QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

void clearLine() { std::fputs("\r\033[K", stderr); }

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

} // namespace

Attempt<void> checkReport(const QString &path, const std::vector<Item> &items)
{
    const QString shown = shownName(path);
    const QByteArray bytes = bytesOfName(path);
    struct stat st {};
    if (::stat(bytes.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return failure(QStringLiteral("--report: '%1' is a folder").arg(shown));
        for (const Item &item : items)
            if (const auto id = identityOf(item.input); id && id->device == st.st_dev && id->inode == st.st_ino)
                return failure(QStringLiteral("--report: '%1' is an input, which is never written over").arg(shown));
        if (!S_ISREG(st.st_mode))
            return {};
    }
    if (::access(folderOf(bytes).constData(), W_OK | X_OK) != 0)
        return failure(QStringLiteral("--report: cannot write '%1': %2").arg(shown, systemReason(errno)));
    return {};
}

Attempt<int> makeReport(const QString &path)
{
    const QByteArray bytes = bytesOfName(path);
    auto cannot = [&](int error) {
        return failure(QStringLiteral("--report: cannot write '%1': %2").arg(shownName(path), systemReason(error)));
    };
    struct stat st {};
    const bool exists = ::stat(bytes.constData(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe: written to as it is, without waiting for a
        // reader to open a pipe.
        const int fd = ::open(bytes.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return cannot(errno);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    QByteArray temporary = folderOf(bytes) + "/.report.pvtmp" + QByteArray::number(qint64(::getpid())) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return cannot(errno);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~mask)) != 0 ||
        ::rename(temporary.constData(), bytes.constData()) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.constData());
        return cannot(error);
    }
    return fd;
}

void say(const QString &text)
{
    const QByteArray line = "pixelvane-batch: " + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

QByteArray reportLine(const Item &item, const Outcome &r)
{
    auto json = [](const QJsonValue &v) {
        const QByteArray wrapped = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
        return wrapped.mid(1, wrapped.size() - 2);
    };
    auto members = [&](const QString &output, Outcome::Status status, int width, int height, const QString &reason) {
        const bool written = status == Outcome::Status::Written;
        return "\"output\":" + json(shownName(output)) + ",\"status\":\"" + statusName(status) +
               "\",\"width\":" + (written ? QByteArray::number(width) : "null") +
               ",\"height\":" + (written ? QByteArray::number(height) : "null") + ",\"reason\":" + json(reason);
    };
    // Every file the item writes, each as it went; one that was not tried
    // went as the item did.
    QByteArray files;
    for (size_t i = 0; i < item.targets.size(); ++i) {
        const Outcome::File *f = i < r.files.size() ? &r.files[i] : nullptr;
        files += (i ? ",{" : "{") +
                 (f ? members(f->path, f->status, f->width, f->height, f->reason)
                    : members(item.targets[i].path, r.status, 0, 0, r.reason)) +
                 "}";
    }
    // The last file's name as written: a template naming by size gives it
    // only once the size is known.
    const QString output = r.files.size() == item.targets.size() && !r.files.empty() ? r.files.back().path : item.output();
    return "{\"input\":" + json(shownName(item.input)) + "," +
           members(output, r.status, r.width, r.height, r.reason) + ",\"outputs\":[" + files + "]}\n";
}

Report::Report(const std::vector<Item> &items, int fd, const QString &path, bool progressLine)
    : m_items(items), m_fd(fd), m_path(path), m_progressLine(progressLine), m_outcomes(items.size()),
      m_finished(items.size(), false)
{
    m_clock.start();
}

Report::~Report()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void Report::write(const QByteArray &line)
{
    if (m_fd < 0 || !m_writeError.isEmpty())
        return;
    for (qsizetype done = 0; done < line.size();) {
        const ssize_t n = ::write(m_fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_writeError = systemReason(n < 0 ? errno : ENOSPC);
            return;
        }
        done += n;
    }
}

void Report::finish(int index, Outcome outcome)
{
    m_outcomes[size_t(index)] = std::move(outcome);
    m_finished[size_t(index)] = true;
}

void Report::flush(bool all)
{
    const int total = int(m_items.size());
    while (m_told < total && (m_finished[size_t(m_told)] || all)) {
        const Item &item = m_items[size_t(m_told)];
        const Outcome &r = m_outcomes[size_t(m_told)];
        if (r.status != Outcome::Status::NotDone) {
            ++m_counts[int(r.status)];
            if (r.status == Outcome::Status::Refused || r.status == Outcome::Status::Failed) {
                if (m_progressLine)
                    clearLine();
                say(shownName(item.input) + QStringLiteral(": ") + QLatin1String(statusName(r.status)) +
                    QStringLiteral(": ") + r.reason);
            }
            write(reportLine(item, r));
        }
        ++m_told;
    }
}

void Report::showProgress(int done)
{
    const int total = int(m_items.size());
    if (!m_progressLine || done >= total)
        return;
    const double seconds = m_clock.elapsed() / 1000.0;
    const double rate = seconds > 0 ? done / seconds : 0;
    const QString left = rate > 0 ? duration((total - done) / rate) + QStringLiteral(" left")
                                  : QStringLiteral("estimating the time left");
    const QByteArray line = QStringLiteral("\r\033[K%1/%2 pictures, %3/s, %4, %5 refused")
                                .arg(done)
                                .arg(total)
                                .arg(rate, 0, 'f', 1)
                                .arg(left)
                                .arg(count(Outcome::Status::Refused))
                                .toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

int Report::summary(int signal)
{
    if (m_progressLine)
        clearLine();
    if (m_fd >= 0 && m_writeError.isEmpty() && ::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        m_writeError = systemReason(errno);
    if (!m_writeError.isEmpty())
        say(QStringLiteral("--report: cannot write '%1': %2").arg(shownName(m_path), m_writeError));
    say(QStringLiteral("%1 written, %2 skipped, %3 refused, %4 failed in %5%6")
            .arg(count(Outcome::Status::Written))
            .arg(count(Outcome::Status::Skipped))
            .arg(count(Outcome::Status::Refused))
            .arg(count(Outcome::Status::Failed))
            .arg(duration(m_clock.elapsed() / 1000.0), signal ? QStringLiteral(" (interrupted)") : QString()));
    if (signal)
        return 128 + signal;
    return count(Outcome::Status::Refused) + count(Outcome::Status::Failed) > 0 || !m_writeError.isEmpty() ? 1 : 0;
}

} // namespace pv::batch
