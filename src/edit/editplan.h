#pragma once
// What an edit will do, before any pixel moves: the part of the current
// image it keeps, the size it stretches that to, and the state afterwards;
// or the message that refuses it.

#include "edit/editkind.h"
#include "edit/editstate.h"
#include "edit/geometry.h"
#include "input/validation.h"

#include <optional>

namespace pv {

struct EditPlan {
    EditState state;                // afterwards; a refused edit keeps what it had captured
    bool captured = false;          // the entries passed validation and were captured
    std::optional<Refusal> refusal; // why a refused edit was, and the one message it shows
    Cut cut;                        // of the current image
    int stretchWidth = 0;           // a shrink stretches the cut to this size;
    int stretchHeight = 0;          // 0 x 0 keeps the cut as it is
    [[nodiscard]] bool refused() const { return refusal.has_value() || cut.isEmpty(); }
};

// Plans an edit whose entries have passed validation and been captured into
// `state`: trimming, centre crop or shrinking the current image
// (intEditYoko x intEditTate). A shrink writes the margin it ended with
// into the state, also when its cut is then refused. A cut that would leave
// nothing is refused with the size message.
[[nodiscard]] EditPlan planEdit(EditKind kind, const EditState &state, Edges edges);

// The whole edit as a click runs it: validation of the entries for that
// kind (refused with its message, the state unchanged), their capture, then
// planEdit.
[[nodiscard]] EditPlan planClick(EditKind kind, const Entries &entries, const EditState &state);

} // namespace pv
