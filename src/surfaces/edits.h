#pragma once
// The edits on a picture, as the window's buttons run them: the plan of an
// edit and the current picture in, the plan with the new picture out. The
// document (document.h) edits through here for the window and the batch
// command alike.

#include "edit/editplan.h"
#include "surfaces/work.h"

#include <QImage>

namespace pv {

struct EditOutcome {
    EditPlan plan;  // what the edit did to the state, or why it was refused
    QImage picture; // the new current picture; null when refused
};

// Carries out a plan on `current`, the current picture (RGB32): its cut,
// stretched where the plan says so by area averaging. The kept part of a
// trim or a crop shares the pixels of `current`.
[[nodiscard]] EditOutcome applyPlan(const EditPlan &plan, const QImage &current, const Work &work = {});

} // namespace pv
