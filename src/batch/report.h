#pragma once
// What a batch run tells: a line on standard error for each refusal or
// failure, one JSON line per input in the report file, both in input order;
// the progress line on a terminal; the summary at the end.

#include "batch/inputs.h"
#include "batch/process.h"

#include <QElapsedTimer>

#include <vector>

namespace pv::batch {

// "pixelvane-batch: " and the text, as one line on standard error.
void say(const QString &text);

// One report line: {"input":…,"output":…,"status":…,"width":…,"height":…,"reason":…,"outputs":[…]},
// with "planned":true when it tells what a dry run would do.
[[nodiscard]] QByteArray reportLine(const Item &item, const Outcome &outcome, bool planned = false);

// The report file: checked before anything is made, then made. A report
// never replaces an input, nor any file but an empty one or a report of
// this program's (a usage error); such a regular file (or none) at its
// name is replaced at once by the new, empty report, which then grows a
// line at a time; a link, a device or a pipe is written to as it is, and
// "-" is standard output.
[[nodiscard]] Attempt<void> checkReport(const QString &path, const std::vector<Item> &items);
// The file descriptor to write the report to.
[[nodiscard]] Attempt<int> makeReport(const QString &path);

class Report {
public:
    // `fd` is the report file's, or -1 when there is none; `path` names it
    // in messages.
    // `planned`: a dry run's, whose lines also go to standard output.
    Report(const std::vector<Item> &items, int fd, const QString &path, bool progressLine, bool planned = false);
    ~Report();

    // The outcome of item `index`. Not thread-safe: the caller serialises.
    void finish(int index, Outcome outcome);
    // Tells what is finished, in input order, up to the first item still
    // being worked on, each report line written as it is told; `all`: the
    // unfinished ones are passed over.
    void flush(bool all);
    // The progress line, if there is one.
    void showProgress(int done);
    // Clears the progress line, closes the report, says the summary and
    // gives the exit status: 0 when every picture was written or skipped,
    // 1 when any was refused or failed or the report could not be written,
    // 128 + the signal when interrupted.
    [[nodiscard]] int summary(int signal);

private:
    [[nodiscard]] int count(Outcome::Status s) const { return m_counts[int(s)]; }

    void write(const QByteArray &line);
    void tellPlan(const Item &item, const Outcome &outcome);

    const std::vector<Item> &m_items;
    int m_fd;
    QString m_path;
    QString m_writeError; // the first failure to write the report
    const bool m_progressLine;
    const bool m_planned;
    std::vector<Outcome> m_outcomes;
    std::vector<bool> m_finished;
    int m_told = 0;       // items told, in input order
    int m_counts[4] = {}; // by status
    QElapsedTimer m_clock;
};

} // namespace pv::batch
