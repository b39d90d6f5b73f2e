#include "batch/batchrun.h"

#include "batch/folders.h"
#include "batch/inputs.h"
#include "batch/process.h"
#include "batch/report.h"
#include "files/atomicfile.h"
#include "files/picture.h"

#include "input/filenames.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace pv::batch {

namespace {

std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onSignal(int signal) { caughtSignal.store(signal); }

// The memory an item will need, from its picture's header: what opening
// it takes (a decoder in a child process is held to it), at least a HEIF
// decode's peak as its boxes tell it, with the file's bytes held
// meanwhile, and at least the steps' peak, their largest pictures (a pad's
// canvas, a fit's result) counted.
qint64 estimate(const Item &item, const Options &o)
{
    if (!item.refusal.isEmpty())
        return 0;
    const Made<qint64> bytes = pictureFileBytes(item.input);
    const qint64 heif = pictureDecodeBytes(item.input);
    return std::max({pictureBudget(item.input), heif > 0 ? heif + (bytes ? bytes.value() : 0) : 0, workBytes(item, o)});
}

// Keeps the pictures in flight within the picture memory limit: a picture
// waits until those in flight leave room for it; one alone always may go.
// Used with the run's lock held.
class Admission {
public:
    [[nodiscard]] bool mayStart(qint64 need) const
    {
        return m_inFlight == 0 || m_inFlight + need <= pictureMemoryLimit();
    }
    void start(qint64 need) { m_inFlight += need; }
    void end(qint64 need) { m_inFlight -= need; }

private:
    qint64 m_inFlight = 0;
};

// The pictures on `workers` threads, the calling thread telling what they
// did.
//
// A file reaches the disk on a thread of its own: a worker writes its
// picture's files and hands them over unflushed, then goes on to the next
// picture while the landing thread waits for the disk. The landing thread
// takes every item handed over since its last wait as one group: all their
// data to the disk, then the renames, then each folder's entries once (see
// landAll). Only then are the items finished, so that no report line names
// a file before it is on the disk, and a file is never put in place before
// its bytes: one that a power failure cut short is absent. A stage rather
// than a flush of everything before the report lines: the disk is kept
// busy from the first file to the last while both cores decode, and the
// report still grows a group at a time. Workers wait while as many items
// as there are workers wait to be landed, which bounds the data not yet on
// the disk.
class Batch {
public:
    Batch(const Options &options, const std::vector<Item> &items, Report &report, int workers, const OpenFolder *outdir)
        : m_options(options), m_items(items), m_report(report), m_outdir(outdir), m_total(int(items.size())),
          m_workers(workers), m_alive(workers),
          // Every core has pictures of its own; one worker alone may take
          // helpers.
          m_work(workers < 2 ? Work() : Work::alone())
    {
        for (int i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { work(); });
        m_threads.emplace_back([this] { land(); });
    }

    // Tells until every picture is done, or a signal stopped the run and
    // the workers have finished what they had begun; returns the exit status.
    int exec()
    {
        {
            std::unique_lock guard(m_lock);
            while (m_done < m_total && (m_alive > 0 || m_landing)) {
                m_changed.wait_for(guard, std::chrono::milliseconds(200));
                if (caughtSignal.load() && !m_stop.load()) {
                    m_stop.store(true);
                    m_changed.notify_all();
                }
                m_report.flush(false);
                m_report.showProgress(m_done);
            }
        }
        for (std::thread &t : m_threads)
            t.join();
        m_report.flush(true);
        return m_report.summary(caughtSignal.load());
    }

private:
    // An item whose files wait to be put in place: the k-th of them is
    // its k-th file told as written (each was committed once, in order, on
    // the worker's thread).
    struct Handed {
        int index;
        Outcome outcome;
        std::vector<std::unique_ptr<AtomicFile>> files;
    };

    // A worker: takes the next picture while there is one, waits for
    // admission, carries it out and hands its files over.
    void work()
    {
        DeferredCommits deferred;
        for (;;) {
            int index;
            {
                std::unique_lock guard(m_lock);
                m_changed.wait(guard, [&] { return m_stop.load() || m_handed.size() < size_t(m_workers); });
                if (m_stop.load() || m_next >= m_total) {
                    --m_alive;
                    m_changed.notify_all();
                    return;
                }
                index = m_next++;
            }
            const Item &item = m_items[size_t(index)];
            const qint64 need = estimate(item, m_options);
            {
                std::unique_lock guard(m_lock);
                m_changed.wait(guard, [&] { return m_stop.load() || m_admission.mayStart(need); });
                if (m_stop.load()) {
                    finish(index, Outcome());
                    --m_alive;
                    return;
                }
                m_admission.start(need);
            }
            Outcome outcome = processItem(item, m_options, m_work, m_stop, m_outdir, need);
            std::vector<std::unique_ptr<AtomicFile>> files = deferred.take();
            // A file no line tells as written (its item failed after it)
            // is discarded.
            const auto written = std::count_if(outcome.files.begin(), outcome.files.end(),
                                               [](const Outcome::File &f) { return f.status == Outcome::Status::Written; });
            if (files.size() > size_t(written))
                files.resize(size_t(written));
            std::unique_lock guard(m_lock);
            m_admission.end(need);
            if (files.empty())
                finish(index, std::move(outcome));
            else
                m_handed.push_back({index, std::move(outcome), std::move(files)});
            m_changed.notify_all();
        }
    }

    // The landing thread: puts what the workers handed over in place, a
    // group at a time, until they are all gone and nothing is left.
    void land()
    {
        std::unique_lock guard(m_lock);
        for (;;) {
            m_changed.wait(guard, [&] { return !m_handed.empty() || m_alive == 0; });
            if (m_handed.empty())
                break;
            std::vector<Handed> group = std::exchange(m_handed, {});
            m_changed.notify_all(); // the workers may go on
            guard.unlock();
            std::vector<std::unique_ptr<AtomicFile>> files;
            for (Handed &h : group)
                for (std::unique_ptr<AtomicFile> &f : h.files)
                    files.push_back(std::move(f));
            const std::vector<Made<void>> placed = landAll(files);
            files.clear();
            size_t at = 0;
            for (Handed &h : group) {
                size_t k = 0;
                for (size_t i = 0; i < h.outcome.files.size() && k < h.files.size(); ++i) {
                    if (h.outcome.files[i].status != Outcome::Status::Written)
                        continue;
                    settleFile(h.outcome, i, placed[at + k]);
                    ++k;
                }
                at += h.files.size();
            }
            guard.lock();
            for (Handed &h : group)
                finish(h.index, std::move(h.outcome));
        }
        m_landing = false;
        m_changed.notify_all();
    }

    // With the lock held.
    void finish(int index, Outcome outcome)
    {
        m_report.finish(index, std::move(outcome));
        ++m_done;
        m_changed.notify_all();
    }

    const Options &m_options;
    const std::vector<Item> &m_items;
    Report &m_report;
    const OpenFolder *m_outdir;
    const int m_total;
    const int m_workers;
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_next = 0;
    int m_done = 0;
    int m_alive; // workers still taking pictures
    bool m_landing = true; // the landing thread still runs
    std::vector<Handed> m_handed; // waiting to be landed
    Admission m_admission;
    const Work m_work;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// Whether the output folder's file system tells names apart only by more
// than case, tried in the nearest folder of its path that exists. A dry
// run tries nothing: it makes no probe file.
bool outputFoldsCase(const Options &o)
{
    if (o.dryRun)
        return false;
    QString folder = o.outputDir;
    while (kindOf(folder) != Kind::Folder) {
        const qsizetype slash = folder.lastIndexOf(u'/');
        if (slash < 0)
            folder = QStringLiteral(".");
        else
            folder = slash == 0 ? QStringLiteral("/") : folder.left(slash);
        if (folder == u"." || folder == u"/")
            break;
    }
    const Made<OpenFolder> at = OpenFolder::atPath(bytesOfName(folder), false);
    return at && at->foldsCase();
}

// The output folder, opened once: made first unless a dry run, which
// leaves it closed when it does not exist.
Attempt<OpenFolder> openOutput(const Options &o)
{
    Made<OpenFolder> outdir = OpenFolder::atPath(bytesOfName(o.outputDir), !o.dryRun);
    if (outdir)
        return std::move(outdir).value();
    if (o.dryRun && kindOf(o.outputDir) == Kind::Missing)
        return OpenFolder();
    return failure(QStringLiteral("cannot make the output folder '%1': %2").arg(shownName(o.outputDir), outdir.reason().text));
}

} // namespace

int runBatch(const Options &o)
{
#ifdef __GLIBC__
    // The codecs' large blocks (a JPEG encoder's coefficients, the encoded
    // file) come from the heap and stay there for the next picture, instead
    // of fresh mappings that each picture faults in page by page.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
    // Nothing is made or changed before the command line has proved usable.
    const Attempt<void> outputUsable = canMakeFolders(o.outputDir);
    if (!outputUsable) {
        say(QStringLiteral("cannot make the output folder '%1': %2").arg(shownName(o.outputDir), outputUsable.reason()));
        return 2;
    }
    const Attempt<std::vector<Item>> items = listItems(o, outputFoldsCase(o));
    if (!items) {
        say(items.reason());
        return 2;
    }
    if (!o.reportPath.isEmpty()) {
        if (const Attempt<void> usable = checkReport(o.reportPath, items.value()); !usable) {
            say(usable.reason());
            return 2;
        }
    }
    Attempt<OpenFolder> outdir = openOutput(o);
    if (!outdir) {
        say(outdir.reason());
        return 2;
    }
    int reportFd = -1;
    if (!o.reportPath.isEmpty()) {
        const Attempt<int> made = makeReport(o.reportPath);
        if (!made) {
            say(made.reason());
            return 2;
        }
        reportFd = made.value();
    }
    if (!o.dryRun)
        outdir->removeStaleTemporaries();

    // A hang-up ends the run as a termination does; a closed pipe on
    // standard error is an error of the write, not the end of the run.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const int total = int(items->size());
    const int workers = std::max(1, std::min(total, o.workers > 0 ? o.workers : QThread::idealThreadCount()));
    Report report(items.value(), reportFd, o.reportPath, !o.quiet && ::isatty(STDERR_FILENO), o.dryRun);
    Batch batch(o, items.value(), report, workers, outdir->isOpen() ? &outdir.value() : nullptr);
    return batch.exec();
}

} // namespace pv::batch
