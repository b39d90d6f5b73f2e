#include "batch/rerun.h"

#include "input/filenames.h"
#include "surfaces/worksurfaces.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

namespace pv::batch {

namespace {

using Action = TargetPlan::Action;

constexpr char kRecordHeader[] = "pixelvane-batch record 1";

// What makes a target's pixels and bytes: the steps before its save, as
// given (other saves left out: they change no pixel), then its format and
// settings. The spelling is kept as given ("--shrink 0320X240" and
// "--shrink 320x240" differ): at worst a file is made again that did not
// need to be.
QByteArray stepsText(const Target &target, const Options &o)
{
    QJsonArray steps;
    for (size_t i = 0; i < target.step && i < o.steps.size(); ++i)
        if (!o.steps[i].save())
            steps.append(o.steps[i].given);
    const Output &out = target.output;
    return QJsonDocument(steps).toJson(QJsonDocument::Compact) + " format " + extensionOf(out.format).toUtf8() +
           " quality " + QByteArray::number(out.qualityToUse()) + " lossless " + (out.lossless ? "1" : "0") +
           " fast " + (o.fast ? "1" : "0") + " background " +
           QByteArray::number(o.background.value_or(kWorkBackground), 16) + " progressive " +
           (out.progressive ? "1" : "0") + " subsampling " + (out.fullChroma ? "444" : "420") + " max-size " +
           QByteArray::number(out.maxBytes) + " metadata " + QByteArray::number(o.keepMetadata);
}

QByteArray factsText(const FileFacts &f, bool withTime)
{
    return QByteArray::number(f.size) + (withTime ? ' ' + QByteArray::number(f.modified) : QByteArray()) + ' ' + f.hash;
}

// The value of the line that begins with `key` and a space.
QByteArray lineOf(const QByteArray &record, const QByteArray &key)
{
    for (const QByteArray &line : record.split('\n'))
        if (line.startsWith(key + ' '))
            return line.mid(key.size() + 1);
    return QByteArray();
}

// Whether the input is the one the record was made from: its size and time
// the same (not read), or else its bytes the same (read and hashed).
bool sameInput(const QByteArray &recorded, InputFacts &input)
{
    const QList<QByteArray> parts = recorded.split(' ');
    const FileFacts *now = input.quick();
    if (parts.size() != 3 || !now)
        return false;
    if (parts[0] == QByteArray::number(now->size) && parts[1] == QByteArray::number(now->modified))
        return true;
    const FileFacts *read = input.hashed();
    return read && parts[0] == QByteArray::number(read->size) && parts[2] == read->hash;
}

TargetPlan overRecord(const Recorded &found, const Entry &entry, const Target &target, const Options &o, InputFacts &input)
{
    const QByteArray &record = *found.record;
    const TargetPlan again{Action::Write, QString(), true, entry.identity};
    if (lineOf(record, "output") != factsText(found.facts, false))
        return {Action::Write, QStringLiteral("made again: the output no longer matched its record"), true, entry.identity};
    if (o.overwrite)
        return again;
    if (!sameInput(lineOf(record, "input"), input))
        return {Action::Write, QStringLiteral("made again: its input changed"), true, entry.identity};
    if (lineOf(record, "steps") != stepsText(target, o))
        return {Action::Write, QStringLiteral("made again: its steps changed"), true, entry.identity};
    return {Action::Skip, QStringLiteral("the output is up to date"), false, std::nullopt};
}

} // namespace

const FileFacts *InputFacts::quick()
{
    if (m_hashed && *m_hashed)
        return &m_hashed->value();
    if (!m_quick)
        m_quick = factsOf(bytesOfName(m_path));
    return *m_quick ? &m_quick->value() : nullptr;
}

const FileFacts *InputFacts::hashed()
{
    if (!m_hashed)
        m_hashed = hashedFacts(bytesOfName(m_path));
    return *m_hashed ? &m_hashed->value() : nullptr;
}

TargetPlan planTarget(const OpenFolder *folder, const Target &target, const Options &o, InputFacts &input)
{
    const QByteArray name = bytesOfName(target.within.mid(target.within.lastIndexOf(u'/') + 1));
    const Entry entry = folder ? folder->entry(name) : Entry{};
    const TargetPlan exists{Action::Skip, QStringLiteral("the output exists"), false, std::nullopt};
    switch (entry.kind) {
    case Entry::Kind::Missing:
        return {Action::Write, QString(), false, std::nullopt};
    case Entry::Kind::File:
        break;
    case Entry::Kind::Link:
        // Replaced itself, never followed.
        return o.overwrite ? TargetPlan{Action::Write, QString(), true, entry.identity} : exists;
    default:
        return o.overwrite ? TargetPlan{Action::Refuse, QStringLiteral("the output's name is not a file"), false, std::nullopt}
                           : exists;
    }
    // What a killed write on a file system without a no-replace step leaves.
    if (entry.size == 0)
        return {Action::Write, QStringLiteral("written again: the output was empty"), true, entry.identity};
    const Made<Recorded> found = recordedAt(folder->fd(), name);
    if (!found || !found->record || !found->record->startsWith(kRecordHeader))
        return o.overwrite ? TargetPlan{Action::Write, QString(), true, entry.identity} : exists;
    return overRecord(found.value(), entry, target, o, input);
}

QByteArray recordLines(const FileFacts &input, const Target &target, const Options &o)
{
    return QByteArray(kRecordHeader) + "\nversion " + QCoreApplication::applicationVersion().toUtf8() + "\ninput " +
           factsText(input, true) + "\nsteps " + stepsText(target, o) + '\n';
}

} // namespace pv::batch
