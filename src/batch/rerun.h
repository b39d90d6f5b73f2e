#pragma once
// What a run does with each file it would write, decided before any pixel
// is decoded, from what is at the file's name and the record kept with it
// (files/filerecord.h): write it, make it again, or leave it.

#include "batch/inputs.h"
#include "batch/options.h"
#include "files/filerecord.h"
#include "files/openfolder.h"

#include <optional>

namespace pv::batch {

// The input of an item, its facts found once and its bytes hashed at most
// once, when a decision or a record needs them.
class InputFacts {
public:
    explicit InputFacts(const QString &path) : m_path(path) {}
    [[nodiscard]] const FileFacts *quick();  // size and time; null when unreadable
    [[nodiscard]] const FileFacts *hashed(); // and the hash
    // The facts and hash of the bytes a decode read, instead of reading
    // the file again.
    void adopt(const FileFacts &read) { m_hashed = read;}
private:
    QString m_path;
    std::optional<Made<FileFacts>> m_quick, m_hashed;
};

struct TargetPlan {
    enum class Action { Write, Skip, Refuse };
    Action action = Action::Write;
    QString reason; // why skipped or refused; for a write, a note ("made again: …") or empty
    bool replace = false; // the write may replace what has the name
    std::optional<FileIdentity> replaceOnly; // and then only this file
};

// What to do with `target`, its folder below the output folder open as
// `folder` (null when it does not exist yet): the rules of --overwrite, an
// empty file, and the record.
[[nodiscard]] TargetPlan planTarget(const OpenFolder *folder, const Target &target, const Options &options,
                                    InputFacts &input);

// The record's lines for a file made from `input` by `target`'s steps
// (all but the file's own "output" line, which the writer adds).
[[nodiscard]] QByteArray recordLines(const FileFacts &input, const Target &target, const Options &options);

} // namespace pv::batch
