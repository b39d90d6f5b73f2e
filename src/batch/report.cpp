#include "batch/report.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

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

} // namespace

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
    const bool written = r.status == Outcome::Status::Written;
    return "{\"input\":" + json(item.input) + ",\"output\":" + json(item.output) + ",\"status\":\"" +
           statusName(r.status) + "\",\"width\":" + (written ? QByteArray::number(r.width) : "null") +
           ",\"height\":" + (written ? QByteArray::number(r.height) : "null") + ",\"reason\":" + json(r.reason) +
           "}\n";
}

Report::Report(const std::vector<Item> &items, QFile &file, bool progressLine)
    : m_items(items), m_file(file), m_progressLine(progressLine), m_outcomes(items.size()),
      m_finished(items.size(), false)
{
    m_clock.start();
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
                say(item.input + QStringLiteral(": ") + QLatin1String(statusName(r.status)) + QStringLiteral(": ") +
                    r.reason);
            }
            if (m_file.isOpen())
                m_file.write(reportLine(item, r));
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
    m_file.close();
    say(QStringLiteral("%1 written, %2 skipped, %3 refused, %4 failed in %5%6")
            .arg(count(Outcome::Status::Written))
            .arg(count(Outcome::Status::Skipped))
            .arg(count(Outcome::Status::Refused))
            .arg(count(Outcome::Status::Failed))
            .arg(duration(m_clock.elapsed() / 1000.0), signal ? QStringLiteral(" (interrupted)") : QString()));
    if (signal)
        return 128 + signal;
    return count(Outcome::Status::Refused) + count(Outcome::Status::Failed) > 0 ? 1 : 0;
}

} // namespace pv::batch
