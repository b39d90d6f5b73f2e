#pragma once
// The three edits on a picture, as the window's buttons run them: the
// current picture and the edit state in, the new picture or the reason for
// refusing out. The window and the batch command both edit through here.

#include "edit/editstate.h"
#include "input/validation.h"

#include <QImage>
#include <optional>

namespace pv {

struct EditOutcome {
    EditState state;                // afterwards; a refused edit keeps what it had captured
    std::optional<Message> refusal; // the one message a refused edit shows
    QImage picture;                 // the new current picture; null when refused
};

// Runs an edit whose entries have passed validation and been captured into
// `state`: trimming, centre crop or shrinking `current` (the current
// picture, intEditYoko x intEditTate, RGB32). A shrink writes the margin it
// ended with into the state, also when the cut is then refused. A cut that
// would leave nothing is refused with the size message. The kept part of a
// trim or a crop shares the pixels of `current`.
[[nodiscard]] EditOutcome applyEdit(CheckKind kind, const EditState &state, Edges edges, const QImage &current);

// The whole edit as a click runs it: validation of the entries for that
// kind (refused with its message), their capture, then applyEdit.
[[nodiscard]] EditOutcome runEdit(CheckKind kind, const Entries &entries, const EditState &state,
                                  const QImage &current);

} // namespace pv
