#pragma once
// Validation of the entry fields before an edit, and their capture.

#include "edit/editstate.h"
#include "edit/geometry.h"
#include "input/messages.h"

#include <QString>
#include <cstdint>
#include <optional>

namespace pv {

// Edit kinds, as the edit buttons pass them.
enum CheckKind : int { kShrink = 1, kTrim = 2, kCentreCrop = 3 };

// True when every character is one of the ten ASCII digits (also for "").
[[nodiscard]] bool fncNumCheck(const QString &sCheckStr);

// Compares a non-empty string of ASCII digits, of any length, with value:
// -1, 0 or 1. Leading zeros count for nothing.
[[nodiscard]] int compareDigits(const QString &digits, std::int64_t value);

// What the checks read, gathered from the window.
struct Entries {
    QString motoYokoCaption;
    QString motoTateCaption;
    QString yoko;
    QString tate;
    QString reSizeValue;
    QString dotDelValue;
    Edges edges;
    int editYoko = 0;
    int editTate = 0;
};

struct CheckResult {
    bool passed = false;
    std::optional<Message> message; // the one failure to show, if any
};

// The checks of one edit kind, in their order; the first failure alone is
// reported. Before any image is loaded (both loaded-size captions "0") every
// kind fails with the load message; an unknown kind then fails silently.
[[nodiscard]] CheckResult inputCheck(int ChkIndex, const Entries &entries);

// The value a field's text is captured as: a string of digits gives its
// number, held at 32767 when larger; any other text gives 0 (the edits read
// only fields their validation has passed).
[[nodiscard]] std::int16_t captureValue(const QString &text);

// Captures the four entry fields into the edit state, as values.
void captureFields(EditState &state, const Entries &entries);

} // namespace pv
