#pragma once
// The edits on a picture, as the window's buttons run them: the kind, the
// entries, the edit state and the current picture in; the state afterwards
// and the new picture, or the message refusing it, out. The window and the
// batch command both edit through here.

#include "edit/editplan.h"
#include "surfaces/work.h"

#include <QImage>

namespace pv {

struct EditOutcome {
    EditState state;                // afterwards; a refused edit keeps what it had captured
    bool captured = false;          // the entries passed validation and were captured
    std::optional<Message> refusal; // the one message a refused edit shows
    QImage picture;                 // the new current picture; null when refused
};

// Carries out a plan on `current`, the current picture (RGB32): its cut,
// stretched where the plan says so by area averaging. The kept part of a
// trim or a crop shares the pixels of `current`.
[[nodiscard]] EditOutcome applyPlan(const EditPlan &plan, const QImage &current, const Work &work = {});

// A click on an edit's button: planClick, then applyPlan.
[[nodiscard]] EditOutcome runClick(EditKind kind, const Entries &entries, const EditState &state,
                                   const QImage &current, const Work &work = {});

} // namespace pv
