#pragma once
// What a batch run tells: a line on standard error for each refusal or
// failure, one JSON line per input in the report file, both in input order;
// the progress line on a terminal; the summary at the end.

#include "batch/inputs.h"
#include "batch/process.h"

#include <QElapsedTimer>
#include <QFile>

#include <vector>

namespace pv::batch {

// "pixelvane-batch: " and the text, as one line on standard error.
void say(const QString &text);

// One report line: {"input":…,"output":…,"status":…,"width":…,"height":…,"reason":…}.
[[nodiscard]] QByteArray reportLine(const Item &item, const Outcome &outcome);

class Report {
public:
    // `file` is open, or not to be written.
    Report(const std::vector<Item> &items, QFile &file, bool progressLine);

    // The outcome of item `index`. Not thread-safe: the caller serialises.
    void finish(int index, Outcome outcome);
    // Tells what is finished, in input order, up to the first item still
    // being worked on; `all`: the unfinished ones are passed over.
    void flush(bool all);
    // The progress line, if there is one.
    void showProgress(int done);
    // Clears the progress line, closes the report, says the summary and
    // gives the exit status: 0 when every picture was written or skipped,
    // 1 when any was refused or failed, 128 + the signal when interrupted.
    [[nodiscard]] int summary(int signal);

private:
    [[nodiscard]] int count(Outcome::Status s) const { return m_counts[int(s)]; }

    const std::vector<Item> &m_items;
    QFile &m_file;
    const bool m_progressLine;
    std::vector<Outcome> m_outcomes;
    std::vector<bool> m_finished;
    int m_told = 0;       // items told, in input order
    int m_counts[4] = {}; // by status
    QElapsedTimer m_clock;
};

} // namespace pv::batch
