#pragma once
// The three edits on a picture, as the window's buttons run them: the
// current picture and the edit state in, the new picture or the reason for
// refusing out. The window and the batch command both edit through here.

#include "edit/editplan.h"

#include <QImage>

namespace pv {

struct EditOutcome {
    EditState state;                // afterwards; a refused edit keeps what it had captured
    std::optional<Message> refusal; // the one message a refused edit shows
    QImage picture;                 // the new current picture; null when refused
};

// Carries out a plan on `current`, the current picture (RGB32): its cut,
// stretched where the plan says so by area averaging. The kept part of a
// trim or a crop shares the pixels of `current`.
[[nodiscard]] EditOutcome applyPlan(const EditPlan &plan, const QImage &current);

// An edit whose entries have passed validation and been captured: planEdit,
// then applyPlan.
[[nodiscard]] EditOutcome applyEdit(CheckKind kind, const EditState &state, Edges edges, const QImage &current);

// The whole edit as a click runs it: planClick, then applyPlan.
[[nodiscard]] EditOutcome runEdit(CheckKind kind, const Entries &entries, const EditState &state,
                                  const QImage &current);

} // namespace pv
