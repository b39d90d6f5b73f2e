#pragma once
// The command line's options, one row each: how it is spelled, the value it
// takes, its --help text and what it does to the options. parseArguments
// and the help both read the rows; the edits' own rows are kEdits.

#include "batch/options.h"

#include <QStringView>
#include <span>

namespace pv::batch {

// Where --help lists an option.
enum class HelpSection { Edits, InputOutput };

// What an option does with its value (an empty one for a flag), or the
// one-line error when the value will not do.
using Apply = Attempt<void> (*)(Options &, const QString &name, const QString &value);

struct OptionRule {
    QStringView longName;  // "--output"
    QStringView shortName; // "-o", or empty
    QStringView valueName; // "DIR" in the help; empty for a flag
    HelpSection section;
    // Its --help text: each line after the first is indented as it is
    // here, relative to the first.
    QStringView help;
    Apply apply; // null for --help and --version, which stop the parsing
};

// Every option but the edits, in the order --help lists them.
[[nodiscard]] std::span<const OptionRule> optionRules();

// The edit's step for the value given (checked as the edit takes it), or
// the one-line error.
[[nodiscard]] Attempt<Step> editStep(const EditDescription &edit, const QString &name, const QString &value);

} // namespace pv::batch
