#include "batch/report.h"

#include "batch/folders.h"
#include "input/filenames.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <cstring>

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
    return "interrupted";
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

// Whether a file's first bytes are a report's: an empty file, or one that
// begins as a report line does.
bool isReport(const QByteArray &head, qint64 size) { return size == 0 || head.startsWith("{\"input\":"); }

Attempt<int> openedReport(const QString &path, bool checkOnly)
{
    const Made<int> opened = openReport(bytesOfName(path), isReport, checkOnly);
    if (opened)
        return opened.value();
    if (opened.reason().cause == Fault::Cause::Exists)
        return failure(QStringLiteral("--report: '%1' exists and is not a report; it is never written over").arg(shownName(path)));
    return failure(QStringLiteral("--report: cannot write '%1': %2").arg(shownName(path), opened.reason().text));
}

} // namespace

Attempt<void> checkReport(const QString &path, const std::vector<Item> &items)
{
    const QString shown = shownName(path);
    if (path == u"-")
        return {};
    if (kindOf(path) == Kind::Folder)
        return failure(QStringLiteral("--report: '%1' is a folder").arg(shown));
    if (const auto id = identityOf(path)) {
        for (const Item &item : items)
            if (identityOf(item.input) == id)
                return failure(QStringLiteral("--report: '%1' is an input, which is never written over").arg(shown));
    }
    const Attempt<int> usable = openedReport(path, true);
    if (!usable)
        return failure(usable.reason());
    return {};
}

Attempt<int> makeReport(const QString &path) { return openedReport(path, false); }

void say(const QString &text)
{
    const QByteArray line = "pixelvane-batch: " + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

QByteArray reportLine(const Item &item, const Outcome &r, bool planned)
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
    // went as the item did, or was not written for an interruption.
    const bool cut = r.status == Outcome::Status::NotDone;
    const QString notTried = QStringLiteral("interrupted before it was written");
    QByteArray files;
    for (size_t i = 0; i < item.targets.size(); ++i) {
        const Outcome::File *f = i < r.files.size() ? &r.files[i] : nullptr;
        files += (i ? ",{" : "{") +
                 (f ? members(f->path, f->status, f->width, f->height, f->reason)
                    : members(item.targets[i].path, r.status, 0, 0, cut ? notTried : r.reason)) +
                 "}";
    }
    const bool lastTried = r.files.size() == item.targets.size();
    // The last file's name as written: a template naming by size gives it
    // only once the size is known.
    const QString output = lastTried && !r.files.empty() ? r.files.back().path : item.output();
    return "{\"input\":" + json(shownName(item.input)) + "," +
           members(output, r.status, r.width, r.height, cut && !lastTried ? notTried : r.reason) +
           ",\"outputs\":[" + files + "]" + (planned ? ",\"planned\":true}\n" : "}\n");
}

Report::Report(const std::vector<Item> &items, int fd, const QString &path, bool progressLine, bool planned)
    : m_items(items), m_fd(fd), m_path(path), m_progressLine(progressLine), m_planned(planned), m_outcomes(items.size()),
      m_finished(items.size(), false)
{
    m_clock.start();
}

Report::~Report()
{
    if (m_fd >= 0)
        closeOpenFile(m_fd);
}

void Report::write(const QByteArray &line)
{
    if (m_fd < 0 || !m_writeError.isEmpty())
        return;
    if (const int error = writeAll(m_fd, line))
        m_writeError = systemReason(error);
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
        }
        if (m_planned)
            tellPlan(item, r);
        // Written in part before an interruption: its line tells which.
        if (r.status != Outcome::Status::NotDone || !r.files.empty())
            write(reportLine(item, r, m_planned));
        ++m_told;
    }
}

void Report::tellPlan(const Item &item, const Outcome &r)
{
    for (size_t i = 0; i < item.targets.size(); ++i) {
        const Outcome::File *f = i < r.files.size() ? &r.files[i] : nullptr;
        const Outcome::Status status = f ? f->status : r.status;
        const QString &reason = f ? f->reason : r.reason;
        const char *verb = status == Outcome::Status::Written   ? "would write"
                           : status == Outcome::Status::Skipped ? "would skip"
                                                                : "would refuse";
        const QString line = QLatin1String(verb) + QStringLiteral(": ") + shownName(item.targets[i].path) +
                             (reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + u')') + u'\n';
        const QByteArray bytes = line.toLocal8Bit();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    }
    std::fflush(stdout);
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
    if (m_fd >= 0 && m_writeError.isEmpty()) {
        if (const int error = syncOpenFile(m_fd))
            m_writeError = systemReason(error);
    }
    if (!m_writeError.isEmpty())
        say(QStringLiteral("--report: cannot write '%1': %2").arg(shownName(m_path), m_writeError));
    say(QStringLiteral("%1%2 written, %3 skipped, %4 refused, %5 failed in %6%7")
            .arg(m_planned ? QStringLiteral("dry run, nothing done; would be: ") : QString())
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
