#pragma once
// One picture of a batch run: open it, run the steps as the window's clicks
// and saves would, write the results.

#include "batch/inputs.h"
#include "batch/options.h"
#include "files/openfolder.h"
#include "surfaces/work.h"

#include <QImage>
#include <QSize>
#include <atomic>
#include <functional>

namespace pv::batch {

struct Outcome {
    enum class Status { Written, Skipped, Refused, Failed, NotDone };
    // What became of one file the item writes.
    struct File {
        QString path;
        Status status = Status::NotDone;
        int width = 0; // of the written picture
        int height = 0;
        QString reason; // empty when written, unless noted
    };
    Status status = Status::NotDone; // the worst of the files'
    int width = 0;                   // of the last file written
    int height = 0;
    QString reason;
    std::vector<File> files; // one a target, in order
};

// Does one item: what becomes of each of its files decided from what is at
// its name and the record kept with it (rerun.h), its picture opened, the
// steps run, the files written with the work it may take into the output
// folder open as `outdir` (null: not made yet, with --dry-run). Once
// `stop` is set, nothing more is written: a picture not yet being written
// is left NotDone, and so is one whose later saves the stop prevented (its
// files tell what was written). A picture that cannot be had for lack of
// memory, or whose decoder crashed, has failed, not been refused: it is not
// proven to be the file's fault. With --dry-run, nothing is decoded or
// written: the files tell what would be. `budget` is the memory admission
// counted for it, the limit of a decoder run in a child process.
[[nodiscard]] Outcome processItem(const Item &item, const Options &options, const Work &work,
                                  const std::atomic<bool> &stop, const OpenFolder *outdir, qint64 budget = 0);

// What became of file `index` of an item told as written, now that putting
// it in place ended so: as if its write had, the item's status and reason
// following (a file that took its name meanwhile is skipped, a failure
// fails the item).
void settleFile(Outcome &outcome, size_t index, const Made<void> &placed);

// The memory the steps take at their peak on the item's picture, planned
// from its header (0 when it cannot be read): the decoded picture held with
// the largest step's pictures, or with a picture being written. An item
// whose steps would take more than a picture may is refused before decoding.
[[nodiscard]] qint64 workBytes(const Item &item, const Options &options);

// What the steps made of a picture: the picture at the end, and the notes
// on steps that left it as it was (an edit to the size it already has).
struct Edited {
    QImage picture;
    QStringList notes;
};
// Called at each --save step with the picture as it stands.
using SaveHere = std::function<void(const Step &step, const QImage &picture)>;

// Runs the steps on `picture`, just opened, each as a user at the window
// would: typed into the entry fields and edge boxes, then the edit's button
// clicked, or the picture saved. An edit refused only because the picture
// has the size asked for leaves it as it is; any other refusal ends the
// steps with its reason ("--crop 4000x3000: " and the window's message).
[[nodiscard]] Attempt<Edited> runSteps(const std::vector<Step> &steps, const QImage &picture, const Work &work = {},
                                       const SaveHere &save = {});

} // namespace pv::batch
