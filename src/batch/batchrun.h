#pragma once
// A whole batch run: the pictures on every core, progress, the report and
// the summary.

#include "batch/options.h"

namespace pv::batch {

// Runs the batch and returns the exit status: 0 when every picture was
// written or skipped as existing, 1 when any was refused or failed, 2 when
// the inputs or the report cannot be used, 128 + the signal after SIGINT or
// SIGTERM (nothing new is started then; files being written are finished).
[[nodiscard]] int runBatch(const Options &options);

} // namespace pv::batch
