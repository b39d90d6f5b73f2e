#pragma once
// Validation of the entry fields before an edit, and their capture.

#include "edit/editkind.h"
#include "edit/editstate.h"
#include "edit/result.h"
#include "input/fields.h"
#include "input/messages.h"

#include <QString>
#include <cstdint>
#include <optional>

namespace pv {

// What the logic layer's fallible functions return: a value, or the
// refusal (its code and its one message).
template <class T>
using Checked = Result<T, Refusal>;

// True when every character is one of the ten ASCII digits (also for "").
[[nodiscard]] bool fncNumCheck(const QString &sCheckStr);

// Compares a non-empty string of ASCII digits, of any length, with value:
// -1, 0 or 1. Leading zeros count for nothing.
[[nodiscard]] int compareDigits(const QString &digits, std::int64_t value);

// What the checks read: the fields and boxes, the loaded-size captions and
// the current size.
struct Entries : Fields {
    QString motoYokoCaption = QStringLiteral("0");
    QString motoTateCaption = QStringLiteral("0");
    int editYoko = 0;
    int editTate = 0;
};

// The entries of a window whose read-outs show `state`.
[[nodiscard]] Entries entriesOf(const Fields &fields, const EditState &state);

// An image counts as loaded unless both loaded-size captions read "0".
[[nodiscard]] bool imageLoaded(const QString &motoYokoCaption, const QString &motoTateCaption);

// The checks of one edit kind, in their order; the first failure alone is
// reported. Before any image is loaded every kind fails with the load
// message.
[[nodiscard]] Checked<void> fncInputCheck(EditKind ChkIndex, const Entries &entries);

// The value a field's text is captured as: a string of digits gives its
// number, held at 32767 when larger; any other text gives 0 (the edits read
// only fields their validation has passed).
[[nodiscard]] std::int16_t captureValue(const QString &text);

// Captures the four entry fields into the edit state, as values.
void InputInfoInit(EditState &state, const Entries &entries);

} // namespace pv
