#pragma once
// One picture of a batch run: open it, run the edits as the window's clicks
// would, write the result.

#include "batch/inputs.h"
#include "batch/options.h"

#include <QImage>
#include <QSize>
#include <atomic>
#include <functional>

namespace pv {
struct EditPlan;
}

namespace pv::batch {

struct Result {
    enum class Status { Written, Skipped, Refused, Failed, NotDone };
    Status status = Status::NotDone;
    int width = 0; // of the written picture
    int height = 0;
    QString reason; // empty when written
};

// Carries one job out. Once `stop` is set, nothing more is written: a
// picture not yet being written is left NotDone.
[[nodiscard]] Result runJob(const Job &job, const Options &options, const std::atomic<bool> &stop);

// Runs the edit steps on a picture of `loaded` size, each as a click on the
// window runs it, the entry fields and edge boxes holding what the steps
// put in them; hands every planned edit to `apply`. Returns why a step was
// refused ("--crop 4000x3000: " and the window's message), or nothing.
[[nodiscard]] QString runSteps(const std::vector<Step> &steps, QSize loaded,
                               const std::function<void(const EditPlan &)> &apply);

// The bytes a picture of w x h costs while it is worked on, for keeping the
// pictures in flight within memory.
[[nodiscard]] qint64 workingBytes(QSize size);

} // namespace pv::batch
