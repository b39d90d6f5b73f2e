#include "batch/process.h"

#include "batch/folders.h"
#include "input/filenames.h"

#include "edit/editplan.h"
#include "files/picture.h"
#include "surfaces/edits.h"
#include "surfaces/resample.h"
#include "surfaces/surface.h"
#include "surfaces/worksurfaces.h"


#include <algorithm>
#include <sys/stat.h>

namespace pv::batch {

namespace {

using Status = Outcome::Status;

Outcome refused(const QString &reason) { return {Status::Refused, 0, 0, reason, {}}; }
Outcome failed(const QString &reason) { return {Status::Failed, 0, 0, reason, {}}; }

// Drives the steps as a user at the window would, right after opening a
// picture of `loaded` size: each step typed into the fields and boxes, and
// its button, if it has one, clicked through click(kind, entries, state),
// which gives what the click did (an EditPlan or an EditOutcome); a save
// handed to save(step). An edit refused only because the picture has the
// size asked for is noted and passed over; any other refusal ends it.
template <class Click, class Save>
Attempt<QStringList> drive(const std::vector<Step> &steps, QSize loaded, Click click, Save save)
{
    EditState state;
    state.setLoadedSize(loaded.width(), loaded.height());
    // As PicWorkInit leaves the fields.
    Fields fields;
    fields.yoko = QString::number(state.intMotoYoko);
    fields.tate = QString::number(state.intMotoTate);
    QStringList notes;
    for (const Step &step : steps) {
        if (step.save) {
            save(step);
            continue;
        }
        step.typeInto(fields);
        if (!step.click)
            continue;
        const auto did = click(*step.click, entriesOf(fields, state), state);
        state = did.state;
        // The shrink writes back the margin it ended with.
        if (did.captured && *step.click == EditKind::Shrink)
            fields.reSizeValue = QString::number(state.intReSizeValue);
        if (did.refusal && did.refusal->text == texts::sameSize) {
            notes << step.given + QStringLiteral(": ") + texts::sameSize + QStringLiteral(" (left as it was)");
            continue;
        }
        if (did.refusal)
            return failure(step.given + QStringLiteral(": ") + did.refusal->text);
    }
    return notes;
}

// What to decode of a picture of `full` size for these steps: the part
// they keep until the first shrink (its cut) or the first save (the
// picture as it stands then), all of it when neither comes; with `fast`,
// the largest reduction of 2, 4 and 8 that still leaves at least twice the
// pixels of the first shrink's result on each side of its cut (none when
// a save comes first: it needs the picture whole).
DecodePlan decodePlan(const std::vector<Step> &steps, QSize full, bool fast)
{
    DecodePlan plan;
    QRect window(QPoint(0, 0), full);
    bool settled = false;
    const auto ran = drive(
        steps, full,
        [&](EditKind kind, const Entries &entries, const EditState &state) {
            const EditPlan p = planClick(kind, entries, state);
            if (settled || p.refused())
                return p;
            const Cut &c = p.cut;
            window = QRect(window.x() + int(c.left), window.y() + int(c.top), int(c.width), int(c.height));
            if (p.stretchWidth > 0) {
                settled = true;
                for (int d : {8, 4, 2}) {
                    if (fast && double(c.width) / d >= 2.0 * p.stretchWidth && double(c.height) / d >= 2.0 * p.stretchHeight) {
                        plan.reduction = d;
                        break;
                    }
                }
            }
            return p;
        },
        [&](const Step &) { settled = true; });
    if (!ran)
        return DecodePlan{}; // refused anyway: decoded whole, as the window would
    plan.region = window;
    return plan;
}

// Runs the steps on the part `opened.region` of a picture, decoded
// `reduction` times smaller than that part. Until the first shrink or save,
// trims and crops only move a window over it, in the full picture's pixels;
// the shrink then averages the window's part of the decoded pixels (the
// same sums as on a copy of them), a save takes them as they are; the
// steps after run on that picture. (decodePlan saw to it that the part
// covers the window then, and that no save meets a reduced picture.)
Attempt<Edited> runPartial(const std::vector<Step> &steps, const Opened &opened, const Work &work, const SaveHere &save)
{
    const QRect &part = opened.region;
    const double sx = double(opened.image.width()) / part.width();
    const double sy = double(opened.image.height()) / part.height();
    QRect window(QPoint(0, 0), opened.fullSize);
    QImage current; // null while only the window moves
    // The window's pixels, shared with the decoded ones.
    Surface decoded;
    decoded.setPicture(opened.image);
    auto held = [&] {
        const QRect r = window.translated(-part.topLeft());
        return decoded.block(r.x(), r.y(), r.width(), r.height());
    };
    const auto ran = drive(
        steps, opened.fullSize,
        [&](EditKind kind, const Entries &entries, const EditState &state) {
            const EditPlan plan = planClick(kind, entries, state);
            if (plan.refused())
                return plan;
            if (!current.isNull()) {
                current = applyPlan(plan, current, work).picture;
                return plan;
            }
            const Cut &c = plan.cut;
            window = QRect(window.x() + int(c.left), window.y() + int(c.top), int(c.width), int(c.height));
            if (plan.stretchWidth > 0) {
                const QRectF region((window.x() - part.x()) * sx, (window.y() - part.y()) * sy, window.width() * sx,
                                    window.height() * sy);
                current = resampleRegion(opened.image, region, plan.stretchWidth, plan.stretchHeight, work);
            }
            return plan;
        },
        [&](const Step &step) {
            if (current.isNull())
                current = held();
            if (save)
                save(step, current);
        });
    if (!ran)
        return failure(ran.reason());
    return Edited{current.isNull() ? held() : current, ran.value()};
}

// Whether a file already at the target's name is kept (reason given), or
// is what an interrupted write left and is written again (noted).
struct Existing {
    bool keep = false;
    QString note;
};
Existing existing(const Target &target, bool overwrite)
{
    struct stat st {};
    if (overwrite || ::lstat(bytesOfName(target.path).constData(), &st) != 0)
        return {};
    if (!S_ISREG(st.st_mode) || !looksCutShort(target.path, target.output.format))
        return {true, QString()};
    return {false, QStringLiteral("written again: the output was incomplete")};
}

Outcome::File writeTarget(const Target &target, const QImage &picture, const Options &o, const Work &work,
                          const Opened &from)
{
    using File = Outcome::File;
    const Existing there = existing(target, o.overwrite);
    if (there.keep)
        return File{target.path, Status::Skipped, 0, 0, QStringLiteral("the output exists")};
    if (picture.isNull())
        return File{target.path, Status::Failed, 0, 0, QStringLiteral("out of memory")};
    const QString folder = target.path.left(std::max<qsizetype>(target.path.lastIndexOf(u'/'), 0));
    if (!folder.isEmpty()) {
        if (const Attempt<void> made = makeFolders(folder); !made)
            return File{target.path, Status::Failed, 0, 0,
                        QStringLiteral("cannot make the folder %1: %2").arg(shownName(folder), made.reason())};
    }
    // A link planted in the output folder may not lead the file elsewhere.
    if (!liesWithin(target.path, o.outputDir))
        return File{target.path, Status::Refused, 0, 0,
                    QStringLiteral("the output's folder leads out of the output folder through a link")};
    WriteRequest how{target.output.format, target.output.qualityToUse(), target.output.lossless,
                     o.overwrite || !there.note.isEmpty(), work, AtomicFile::Links::Replace};
    how.progressive = target.output.progressive;
    how.fullChroma = target.output.fullChroma;
    how.maxBytes = target.output.maxBytes;
    how.exif = from.exif;
    how.icc = from.profile;
    const Made<void> written = writePicture(picture, target.path, how);
    if (!written) {
        if (written.reason().cause == Fault::Cause::Exists)
            return File{target.path, Status::Skipped, 0, 0, QStringLiteral("the output exists")};
        return File{target.path, Status::Failed, 0, 0, written.reason().text};
    }
    return File{target.path, Status::Written, picture.width(), picture.height(), there.note};
}

// The item's outcome from its files': the worst status of them, the size
// of the last written.
Outcome combined(std::vector<Outcome::File> files, const QStringList &notes)
{
    Outcome out;
    out.status = Status::Skipped;
    QStringList reasons = notes;
    for (const Outcome::File &f : files) {
        if (f.status == Status::Written) {
            out.width = f.width, out.height = f.height;
            if (out.status == Status::Skipped)
                out.status = Status::Written;
        } else if (f.status == Status::Failed || (f.status == Status::Refused && out.status != Status::Failed)) {
            out.status = f.status;
        }
        if (!f.reason.isEmpty() && !reasons.contains(f.reason))
            reasons << f.reason;
    }
    out.reason = reasons.join(QStringLiteral("; "));
    out.files = std::move(files);
    return out;
}

Outcome process(const Item &item, const Options &o, const Work &work, const std::atomic<bool> &stop)
{
    if (!item.refusal.isEmpty())
        return refused(item.refusal);
    // Every file there already, and to be kept: nothing to decode.
    if (std::all_of(item.targets.begin(), item.targets.end(),
                    [&](const Target &t) { return existing(t, o.overwrite).keep; }))
        return {Status::Skipped, 0, 0, QStringLiteral("the output exists"), {}};

    // Opened as the window opens a file, but only what the steps keep is
    // decoded where the format allows; with --fast, a JPEG that a shrink
    // reduces enough is decoded smaller.
    OpenRequest request{kWorkBackground, work, {}, &stop};
    request.plan = [&o](QSize full) { return decodePlan(o.steps, full, o.fast); };
    request.keep = o.keepMetadata;
    const Made<Opened> opened = openPicture(item.input, request);
    if (!opened) {
        const Fault &why = opened.reason();
        if (stop.load())
            return {};
        if (why.cause == Fault::Cause::Memory)
            return failed(why.text);
        return refused(texts::cannotRead + QStringLiteral(" (") + why.text + u')');
    }

    // The files, each written as its save comes, or the one at the end.
    std::vector<Outcome::File> files;
    size_t next = 0;
    const auto write = [&](const Target &named, const QImage &picture) {
        // A template naming by size gives the name now the size is known.
        Target target = named;
        target.path = named.pathFor(picture.size(), item.input);
        const bool again = std::any_of(files.begin(), files.end(), [&](const Outcome::File &f) {
            return f.path.compare(target.path, Qt::CaseInsensitive) == 0;
        });
        files.push_back(again ? Outcome::File{target.path, Status::Refused, 0, 0,
                                              QStringLiteral("the output is already written from %1").arg(shownName(item.input))}
                              : writeTarget(target, picture, o, work, opened.value()));
    };
    const SaveHere save = [&](const Step &, const QImage &picture) {
        if (next < item.targets.size() && !stop.load())
            write(item.targets[next++], picture);
    };
    const bool whole = opened->reduction == 1 && opened->region == QRect(QPoint(0, 0), opened->fullSize);
    const Attempt<Edited> edited =
        whole ? runSteps(o.steps, opened->image, work, save) : runPartial(o.steps, opened.value(), work, save);
    if (!edited) {
        // The saves before the refused step stand; the rest are refused.
        Outcome out = combined(std::move(files), {});
        out.status = Status::Refused;
        out.reason = out.reason.isEmpty() ? edited.reason() : edited.reason() + QStringLiteral("; ") + out.reason;
        return out;
    }
    if (stop.load())
        return files.empty() ? Outcome() : combined(std::move(files), edited->notes);
    if (!o.saves())
        write(item.targets.back(), edited->picture);
    return combined(std::move(files), edited->notes);
}

} // namespace

Attempt<Edited> runSteps(const std::vector<Step> &steps, const QImage &picture, const Work &work, const SaveHere &save)
{
    QImage current = picture;
    const auto ran = drive(
        steps, picture.size(),
        [&](EditKind kind, const Entries &entries, const EditState &state) {
            EditOutcome did = runClick(kind, entries, state, current, work);
            if (!did.refusal)
                current = did.picture;
            return did;
        },
        [&](const Step &step) {
            if (save)
                save(step, current);
        });
    if (!ran)
        return failure(ran.reason());
    return Edited{current, ran.value()};
}

qint64 workingBytes(QSize size)
{
    // The decoded picture, an edit's result as large, and the writer's
    // buffers.
    return qint64(std::max(size.width(), 1)) * std::max(size.height(), 1) * 4 * 2 + (qint64(4) << 20);
}

Outcome processItem(const Item &item, const Options &o, const Work &work, const std::atomic<bool> &stop)
{
    // Memory that cannot be had fails this picture alone; the run goes on.
    try {
        return process(item, o, work, stop);
    } catch (const std::bad_alloc &) {
        return failed(QStringLiteral("out of memory"));
    }
}

} // namespace pv::batch
