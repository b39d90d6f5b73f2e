#include "batch/batchrun.h"

#include "batch/inputs.h"
#include "batch/picturejob.h"
#include "files/picture.h"
#include "surfaces/threads.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace pv::batch {

namespace {

std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onSignal(int signal) { caughtSignal.store(signal); }

void say(const QString &text)
{
    const QByteArray line = "pixelvane-batch: " + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

const char *statusName(Result::Status s)
{
    switch (s) {
    case Result::Status::Written:
        return "written";
    case Result::Status::Skipped:
        return "skipped";
    case Result::Status::Refused:
        return "refused";
    case Result::Status::Failed:
        return "failed";
    case Result::Status::NotDone:
        break;
    }
    return "";
}

// One JSON object a line, its members in a fixed order.
QByteArray reportLine(const Job &job, const Result &r)
{
    auto json = [](const QJsonValue &v) {
        const QByteArray wrapped = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
        return wrapped.mid(1, wrapped.size() - 2);
    };
    const bool written = r.status == Result::Status::Written;
    return "{\"input\":" + json(job.input) + ",\"output\":" + json(job.output) + ",\"status\":\"" +
           statusName(r.status) + "\",\"width\":" + (written ? QByteArray::number(r.width) : "null") +
           ",\"height\":" + (written ? QByteArray::number(r.height) : "null") + ",\"reason\":" + json(r.reason) +
           "}\n";
}

QString duration(double seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds, 0, 'f', seconds < 10 ? 1 : 0);
    const int s = int(seconds + 0.5);
    return s < 3600 ? QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60)
                    : QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

// The memory a job will need, from its picture's header.
qint64 estimate(const Job &job)
{
    if (!job.refusal.isEmpty())
        return 0;
    const QSize size = pictureFileSize(job.input);
    return workingBytes(size.isValid() ? size : QSize(4000, 3000));
}

// The pictures on `workers` threads; the calling thread reports.
class Batch {
public:
    Batch(const Options &options, const std::vector<Job> &jobs, QFile &report, int workers)
        : m_options(options), m_jobs(jobs), m_report(report), m_total(int(jobs.size())),
          m_results(static_cast<size_t>(m_total)), m_finished(static_cast<size_t>(m_total), false),
          m_alive(workers), m_progress(!options.quiet && ::isatty(STDERR_FILENO))
    {
        m_clock.start();
        for (int i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { work(); });
    }

    // Reports until every picture is done, or a signal stopped the run and
    // the workers have finished what they had begun; returns the exit status.
    int exec()
    {
        {
            std::unique_lock guard(m_lock);
            while (m_done < m_total && m_alive > 0) {
                m_changed.wait_for(guard, std::chrono::milliseconds(200));
                if (caughtSignal.load() && !m_stop.load()) {
                    m_stop.store(true);
                    m_changed.notify_all();
                }
                flush(false);
                if (m_progress && m_done < m_total)
                    showProgress();
            }
        }
        for (std::thread &t : m_threads)
            t.join();
        flush(true);
        if (m_progress)
            std::fputs("\r\033[K", stderr);
        m_report.close();
        return summary();
    }

private:
    int count(Result::Status s) const { return m_counts[int(s)]; }

    // A worker: takes the next picture while there is one, waits until the
    // pictures in flight leave room for it in memory (one alone always
    // may), and carries it out.
    void work()
    {
        for (;;) {
            int index;
            {
                std::unique_lock guard(m_lock);
                if (m_stop.load() || m_next >= m_total) {
                    --m_alive;
                    m_changed.notify_all();
                    return;
                }
                index = m_next++;
            }
            const Job &job = m_jobs[size_t(index)];
            const qint64 need = estimate(job);
            {
                std::unique_lock guard(m_lock);
                m_changed.wait(guard, [&] {
                    return m_stop.load() || m_bytesInFlight == 0 || m_bytesInFlight + need <= pictureMemoryLimit();
                });
                if (m_stop.load()) {
                    finish(index, Result());
                    --m_alive;
                    return;
                }
                m_bytesInFlight += need;
            }
            Result r = runJob(job, m_options, m_stop);
            std::unique_lock guard(m_lock);
            m_bytesInFlight -= need;
            finish(index, std::move(r));
        }
    }

    // With the lock held.
    void finish(int index, Result r)
    {
        m_results[size_t(index)] = std::move(r);
        m_finished[size_t(index)] = true;
        ++m_done;
        m_changed.notify_all();
    }

    // Writes what is finished, in input order, to the report and, for a
    // refusal or a failure, to standard error. `all`: what is not finished
    // is passed over.
    void flush(bool all)
    {
        while (m_reported < m_total && (m_finished[size_t(m_reported)] || all)) {
            const Job &job = m_jobs[size_t(m_reported)];
            const Result &r = m_results[size_t(m_reported)];
            if (r.status != Result::Status::NotDone) {
                ++m_counts[int(r.status)];
                if (r.status == Result::Status::Refused || r.status == Result::Status::Failed) {
                    if (m_progress)
                        std::fputs("\r\033[K", stderr);
                    say(job.input + QStringLiteral(": ") + QLatin1String(statusName(r.status)) + QStringLiteral(": ") +
                        r.reason);
                }
                if (m_report.isOpen())
                    m_report.write(reportLine(job, r));
            }
            ++m_reported;
        }
    }

    void showProgress()
    {
        const double seconds = m_clock.elapsed() / 1000.0;
        const double rate = seconds > 0 ? m_done / seconds : 0;
        const QString left = rate > 0 ? duration((m_total - m_done) / rate) + QStringLiteral(" left")
                                      : QStringLiteral("estimating the time left");
        const QByteArray line = QStringLiteral("\r\033[K%1/%2 pictures, %3/s, %4, %5 refused")
                                    .arg(m_done)
                                    .arg(m_total)
                                    .arg(rate, 0, 'f', 1)
                                    .arg(left)
                                    .arg(count(Result::Status::Refused))
                                    .toLocal8Bit();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
    }

    int summary() const
    {
        const int signal = caughtSignal.load();
        say(QStringLiteral("%1 written, %2 skipped, %3 refused, %4 failed in %5%6")
                .arg(count(Result::Status::Written))
                .arg(count(Result::Status::Skipped))
                .arg(count(Result::Status::Refused))
                .arg(count(Result::Status::Failed))
                .arg(duration(m_clock.elapsed() / 1000.0), signal ? QStringLiteral(" (interrupted)") : QString()));
        if (signal)
            return 128 + signal;
        return count(Result::Status::Refused) + count(Result::Status::Failed) > 0 ? 1 : 0;
    }

    const Options &m_options;
    const std::vector<Job> &m_jobs;
    QFile &m_report;
    const int m_total;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Result> m_results;
    std::vector<bool> m_finished;
    int m_next = 0;
    int m_done = 0;
    int m_alive;           // workers still taking pictures
    int m_reported = 0;    // the report is written in input order
    int m_counts[4] = {};  // by status
    qint64 m_bytesInFlight = 0;
    std::atomic<bool> m_stop{false};
    const bool m_progress; // a progress line on a terminal
    QElapsedTimer m_clock;
    std::vector<std::thread> m_threads;
};

} // namespace

int runBatch(const Options &o)
{
    const JobList list = listJobs(o);
    if (!list.error.isEmpty()) {
        say(list.error);
        return 2;
    }
    QFile report;
    if (!o.reportPath.isEmpty()) {
        report.setFileName(o.reportPath);
        if (!report.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            say(QStringLiteral("--report: cannot write '%1': %2").arg(o.reportPath, report.errorString()));
            return 2;
        }
    }
    if (!QDir().mkpath(o.outputDir)) {
        say(QStringLiteral("cannot make the output folder '%1'").arg(o.outputDir));
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const int total = int(list.jobs.size());
    const int workers = std::max(1, std::min(total, o.jobs > 0 ? o.jobs : QThread::idealThreadCount()));
    // Every core has pictures of its own.
    setHelperThreads(workers < 2);
    Batch batch(o, list.jobs, report, workers);
    return batch.exec();
}

} // namespace pv::batch
