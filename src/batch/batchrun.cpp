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

} // namespace

int runBatch(const Options &o)
{
    JobList list = listJobs(o);
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

    const std::vector<Job> &jobs = list.jobs;
    const int total = int(jobs.size());
    const int workers = std::max(1, std::min(total, o.jobs > 0 ? o.jobs : QThread::idealThreadCount()));
    // Every core has pictures of its own.
    setHelperThreads(workers < 2);

    std::mutex lock;
    std::condition_variable changed;
    std::vector<Result> results(static_cast<size_t>(total));
    std::vector<bool> finished(size_t(total), false);
    int next = 0, done = 0;
    int alive = workers; // workers still taking pictures
    qint64 bytesInFlight = 0;
    const qint64 memoryLimit = pictureMemoryLimit();
    std::atomic<bool> stop{false};

    auto work = [&] {
        for (;;) {
            int index;
            qint64 need;
            {
                std::unique_lock guard(lock);
                if (stop.load() || next >= total) {
                    --alive;
                    changed.notify_all();
                    return;
                }
                index = next++;
            }
            need = estimate(jobs[size_t(index)]);
            {
                // A picture starts only while the pictures in flight fit in
                // memory; one alone always may.
                std::unique_lock guard(lock);
                changed.wait(guard, [&] { return stop.load() || bytesInFlight == 0 || bytesInFlight + need <= memoryLimit; });
                if (stop.load()) {
                    finished[size_t(index)] = true;
                    ++done;
                    --alive;
                    changed.notify_all();
                    return;
                }
                bytesInFlight += need;
            }
            Result r = runJob(jobs[size_t(index)], o, stop);
            {
                std::unique_lock guard(lock);
                bytesInFlight -= need;
                results[size_t(index)] = std::move(r);
                finished[size_t(index)] = true;
                ++done;
            }
            changed.notify_all();
        }
    };

    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i)
        threads.emplace_back(work);

    const bool progress = !o.quiet && ::isatty(STDERR_FILENO);
    int counts[4] = {0, 0, 0, 0};
    int reported = 0; // report lines are written in input order
    auto flush = [&](bool all) {
        // Called with the lock held.
        while (reported < total && (finished[size_t(reported)] || all)) {
            const Job &job = jobs[size_t(reported)];
            const Result &r = results[size_t(reported)];
            if (r.status != Result::Status::NotDone) {
                ++counts[int(r.status)];
                if (r.status == Result::Status::Refused || r.status == Result::Status::Failed) {
                    if (progress)
                        std::fputs("\r\033[K", stderr);
                    say(job.input + QStringLiteral(": ") + QLatin1String(statusName(r.status)) + QStringLiteral(": ") + r.reason);
                }
                if (report.isOpen())
                    report.write(reportLine(job, r));
            }
            ++reported;
        }
    };
    {
        std::unique_lock guard(lock);
        while (done < total && alive > 0) {
            changed.wait_for(guard, std::chrono::milliseconds(200));
            if (caughtSignal.load() && !stop.load()) {
                stop.store(true);
                changed.notify_all();
            }
            flush(false);
            if (progress && done < total) {
                const double seconds = clock.elapsed() / 1000.0;
                const double rate = seconds > 0 ? done / seconds : 0;
                const QString left = rate > 0 ? duration((total - done) / rate) + QStringLiteral(" left") : QStringLiteral("estimating the time left");
                const QByteArray line = QStringLiteral("\r\033[K%1/%2 pictures, %3/s, %4, %5 refused")
                                            .arg(done).arg(total).arg(rate, 0, 'f', 1).arg(left)
                                            .arg(counts[int(Result::Status::Refused)])
                                            .toLocal8Bit();
                std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
                std::fflush(stderr);
            }
        }
    }
    for (std::thread &t : threads)
        t.join();
    {
        std::unique_lock guard(lock);
        flush(true);
    }
    if (progress)
        std::fputs("\r\033[K", stderr);
    report.close();

    const int signal = caughtSignal.load();
    say(QStringLiteral("%1 written, %2 skipped, %3 refused, %4 failed in %5%6")
            .arg(counts[int(Result::Status::Written)])
            .arg(counts[int(Result::Status::Skipped)])
            .arg(counts[int(Result::Status::Refused)])
            .arg(counts[int(Result::Status::Failed)])
            .arg(duration(clock.elapsed() / 1000.0), signal ? QStringLiteral(" (interrupted)") : QString()));
    if (signal)
        return 128 + signal;
    return counts[int(Result::Status::Refused)] + counts[int(Result::Status::Failed)] > 0 ? 1 : 0;
}

} // namespace pv::batch
