#pragma once
// One picture of a batch run: open it, run the edits as the window's clicks
// would, write the result.

#include "batch/inputs.h"
#include "batch/options.h"
#include "surfaces/work.h"

#include <QImage>
#include <QSize>
#include <atomic>

namespace pv::batch {

struct Outcome {
    enum class Status { Written, Skipped, Refused, Failed, NotDone };
    Status status = Status::NotDone;
    int width = 0; // of the written picture
    int height = 0;
    QString reason; // empty when written
};

// Does one item: its picture opened, edited and written with the work it
// may take. Once `stop` is set, nothing more is written: a picture not yet
// being written is left NotDone. A picture that cannot be had for lack of
// memory has failed, not been refused: it is not the file's fault.
[[nodiscard]] Outcome processItem(const Item &item, const Options &options, const Work &work,
                                  const std::atomic<bool> &stop);

// Runs the steps on `picture`, just opened, each as a user at the window
// would: typed into the entry fields and edge boxes, then the edit's button
// clicked. Gives the picture afterwards, or why a step was refused
// ("--crop 4000x3000: " and the window's message).
[[nodiscard]] Attempt<QImage> runSteps(const std::vector<Step> &steps, const QImage &picture, const Work &work = {});

// The bytes a picture of w x h costs while it is worked on, for keeping the
// pictures in flight within memory.
[[nodiscard]] qint64 workingBytes(QSize size);

} // namespace pv::batch
