#include "batch/process.h"

#include "batch/folders.h"
#include "batch/rerun.h"
#include "input/filenames.h"

#include "files/imagewrite.h"
#include "files/picture.h"
#include "surfaces/document.h"
#include "surfaces/framing.h"
#include "surfaces/resample.h"
#include "surfaces/surface.h"
#include "surfaces/worksurfaces.h"

#include <algorithm>
#include <cerrno>

namespace pv::batch {

namespace {

using Status = Outcome::Status;

Outcome refused(const QString &reason) { return {Status::Refused, 0, 0, reason, {}}; }
Outcome failed(const QString &reason) { return {Status::Failed, 0, 0, reason, {}}; }

// The report's note on a framing step that changed nothing.
QString leftAsItWas(const Step &step, bool allOneColour)
{
    QString why;
    switch (step.frame()->kind) {
    case FrameKind::Fit:
        why = QStringLiteral("it fits already");
        break;
    case FrameKind::Pad:
        why = QStringLiteral("it has the canvas's size already");
        break;
    case FrameKind::TrimBorder:
        why = allOneColour ? QStringLiteral("it is all of one colour") : QStringLiteral("it has no border to cut");
        break;
    }
    return step.given + QStringLiteral(": ") + why + QStringLiteral(" (left as it was)");
}

// A framing step carried out on the document's current picture: the note
// when it left the picture as it was.
QString frameOn(Document &doc, const Step &step, const Work &work)
{
    const Framed framed = applyFrame(*step.frame(), doc.current(), doc.fields.edges, work);
    doc.reframe(framed.picture);
    return framed.unchanged ? leftAsItWas(step, framed.uniform) : QString();
}

// A click on a document without pixels: planned and taken.
EditPlan clickPlanned(Document &doc, EditKind kind)
{
    const EditPlan plan = doc.plan(kind);
    doc.take(kind, plan);
    return plan;
}

// A framing step on a document without pixels: a fit's or a pad's size,
// or, for a border trim, the size as it stands with `known` cleared.
QString frameSized(Document &doc, const Step &step, bool &known)
{
    if (step.frame()->kind == FrameKind::TrimBorder) {
        known = false;
        return {};
    }
    const FramePlan p = planFrame(*step.frame(), doc.state().intEditYoko, doc.state().intEditTate);
    doc.reframe(QSize(int(p.canvas.width), int(p.canvas.height)));
    return {};
}

// Drives the steps on `doc`, just opened, as a user at the window would:
// each step typed into the fields and boxes, and its button, if it has
// one, clicked through click(kind), which leaves the document as the
// click left it and gives the click's plan; a framing step handed to
// frame(step), which leaves the document framed and gives the note when
// it changed nothing; a save handed to save(step). An edit refused only
// because the picture has the size asked for, and a framing step that
// changes nothing, are noted and passed over; any other refusal ends it.
template <class Click, class Frame, class Save>
Attempt<QStringList> drive(const std::vector<Step> &steps, Document &doc, Click click, Frame frame, Save save)
{
    QStringList notes;
    for (const Step &step : steps) {
        if (step.save()) {
            save(step);
            continue;
        }
        step.typeInto(doc.fields);
        if (const FrameStep *f = step.frame()) {
            // A pad's canvas is a new picture: held to the same limits.
            if (f->kind == FrameKind::Pad && !sizeAllowed(f->width, f->height))
                return failure(step.given + QStringLiteral(": the canvas is larger than a picture may be"));
            if (const QString note = frame(step); !note.isEmpty())
                notes << note;
            continue;
        }
        const EditStep *edit = step.edit();
        if (!edit)
            continue;
        const EditPlan plan = click(edit->kind);
        if (!plan.refusal)
            continue;
        const QString said = step.given + QStringLiteral(": ") + plan.refusal->message.text;
        if (plan.refusal->code != Refusal::Code::SameSize)
            return failure(said);
        notes << said + QStringLiteral(" (left as it was)");
    }
    return notes;
}

// The largest reduction of 2, 4 and 8 that leaves at least twice the
// pixels of `result` on each side of `part`, 1 when none does. (Reducing
// to just above the result, as thumbnailers do, takes single pixels at
// hard edges more than 64 levels from the exact result.)
int reductionFor(std::int64_t partW, std::int64_t partH, std::int64_t resultW, std::int64_t resultH)
{
    for (int d : {8, 4, 2})
        if (double(partW) / d >= 2.0 * resultW && double(partH) / d >= 2.0 * resultH)
            return d;
    return 1;
}

// What to decode of a picture of `full` size for these steps: the part
// they keep until the first shrink (its cut), fit or pad (the picture as
// it stands then) or save, all of it when none comes or a border trim comes
// first (it needs the pixels); with `fast`, the reduction reductionFor
// gives for the first shrink's cut or the first fit's or pad's picture and
// its scaled size (none when a save comes first: it needs the picture
// whole), and the least size of a stored thumbnail standing in for the
// decode by the same rule: twice the result's pixels on each side.
DecodePlan decodePlan(const std::vector<Step> &steps, QSize full, bool fast)
{
    DecodePlan plan;
    QRect window(QPoint(0, 0), full);
    bool settled = false;
    bool whole = false;
    Document doc;
    doc.openSized(full);
    const auto ran = drive(
        steps, doc,
        [&](EditKind kind) {
            const EditPlan p = clickPlanned(doc, kind);
            if (settled || p.refused())
                return p;
            const Cut &c = p.cut;
            window = QRect(window.x() + int(c.left), window.y() + int(c.top), int(c.width), int(c.height));
            if (p.stretchWidth > 0) {
                settled = true;
                plan.reduction = fast ? reductionFor(c.width, c.height, p.stretchWidth, p.stretchHeight) : 1;
                plan.least = fast ? QSize(2 * p.stretchWidth, 2 * p.stretchHeight) : QSize();
            }
            return p;
        },
        [&](const Step &step) {
            // A border trim's result is not known before its pixels are.
            if (step.frame()->kind == FrameKind::TrimBorder) {
                whole = whole || !settled;
                settled = true;
                return QString();
            }
            const int w = doc.state().intEditYoko, h = doc.state().intEditTate;
            const FramePlan p = planFrame(*step.frame(), w, h);
            if (!settled && !p.unchanged) {
                settled = true;
                plan.reduction = fast ? reductionFor(w, h, p.scaled.width, p.scaled.height) : 1;
                plan.least = fast ? QSize(2 * int(p.scaled.width), 2 * int(p.scaled.height)) : QSize();
            }
            doc.reframe(QSize(int(p.canvas.width), int(p.canvas.height)));
            return QString();
        },
        [&](const Step &) { settled = true; });
    if (!ran || whole)
        return DecodePlan{}; // refused anyway, or a border trim: decoded whole
    plan.region = window;
    return plan;
}

// The size of each picture the steps write from a picture of `full` size
// (invalid where a border trim before it makes it unknown):
// one a save reached, in order, then the picture at the end.
std::vector<QSize> plannedSizes(const std::vector<Step> &steps, QSize full)
{
    std::vector<QSize> sizes;
    bool known = true; // a border trim's result is not known before its pixels are
    Document doc;
    doc.openSized(full);
    const auto current = [&] { return known ? QSize(doc.state().intEditYoko, doc.state().intEditTate) : QSize(); };
    (void)drive(
        steps, doc, [&](EditKind kind) { return clickPlanned(doc, kind); },
        [&](const Step &step) { return frameSized(doc, step, known); },
        [&](const Step &) { sizes.push_back(current()); });
    sizes.push_back(current());
    return sizes;
}

// The memory the steps take at their peak on a picture of `full` size, from
// its header alone: the decoded picture, held throughout, with the largest
// step's picture before and after it (a pad's scaled picture besides its
// canvas; a trim or a crop makes none, it shares what it keeps), or a
// picture being written with the encoder's copy of it, 4 bytes a pixel
// each. A border trim counts as cutting nothing. The
// step that reaches the peak is named; none when it is the decoded picture
// written as it is, which opening counts.
struct WorkPeak {
    qint64 bytes = 0;
    QString step;
};
WorkPeak workPeak(const std::vector<Step> &steps, QSize full)
{
    const auto px = [](std::int64_t w, std::int64_t h) { return qint64(w) * h * 4; };
    const qint64 held = px(full.width(), full.height());
    WorkPeak peak{2 * held, QString()};
    qint64 current = 0; // 0 while the picture is the decoded one
    QString madeBy;
    // The steps a click carries out, in the order drive reaches them.
    std::vector<const Step *> clicks;
    for (const Step &step : steps)
        if (step.edit())
            clicks.push_back(&step);
    size_t clicked = 0;
    const auto reached = [&](qint64 bytes, const QString &step) {
        if (held + bytes > peak.bytes)
            peak = {held + bytes, step};
    };
    Document doc;
    doc.openSized(full);
    (void)drive(
        steps, doc,
        [&](EditKind kind) {
            const EditPlan p = clickPlanned(doc, kind);
            const QString &given = clicks[std::min(clicked++, clicks.size() - 1)]->given;
            // A cut shares the pixels it keeps; a shrink makes new ones.
            if (!p.refused() && p.stretchWidth > 0) {
                const qint64 made = px(p.state.intEditYoko, p.state.intEditTate);
                reached(current + made, given);
                current = made;
                madeBy = given;
            }
            return p;
        },
        [&](const Step &step) {
            const FrameStep &f = *step.frame();
            if (f.kind == FrameKind::TrimBorder)
                return QString(); // counted as cutting nothing
            const FramePlan p = planFrame(f, doc.state().intEditYoko, doc.state().intEditTate);
            if (!p.unchanged) {
                const qint64 made = px(p.canvas.width, p.canvas.height);
                reached(current + made + (f.kind == FrameKind::Pad ? px(p.scaled.width, p.scaled.height) : 0), step.given);
                current = made;
                madeBy = step.given;
            }
            doc.reframe(QSize(int(p.canvas.width), int(p.canvas.height)));
            return QString();
        },
        [&](const Step &) {
            if (current > 0)
                reached(2 * current, madeBy);
        });
    if (current > 0)
        reached(2 * current, madeBy);
    return peak;
}

WorkPeak itemPeak(const Item &item, const Options &o)
{
    const Made<QSize> full = pictureSize(item.input);
    return full ? workPeak(o.steps, full.value()) : WorkPeak{};
}

// A step whose pictures would take more memory than a picture may, found
// from the header before anything is decoded: the reason, or empty.
QString beyondMemory(const Item &item, const Options &o)
{
    const WorkPeak peak = itemPeak(item, o);
    if (peak.step.isEmpty() || peak.bytes <= pictureMemoryLimit())
        return {};
    return QStringLiteral("%1: the work needs %2 MiB of memory, more than the %3 MiB a picture may take")
        .arg(peak.step, QString::number((peak.bytes + (1 << 20) - 1) >> 20), QString::number(pictureMemoryLimit() >> 20));
}

// An output its format cannot hold, found from the picture's header before
// anything is decoded: the reason, or empty. (Only formats whose limit is
// below a picture's side need the header read.)
QString beyondFormat(const Item &item, const Options &o)
{
    if (std::none_of(item.targets.begin(), item.targets.end(),
                     [](const Target &t) { return largestSide(t.output.format) < kMaxSide; }))
        return {};
    const Made<QSize> full = pictureSize(item.input);
    if (!full)
        return {}; // opening it says why
    const std::vector<QSize> sizes = plannedSizes(o.steps, full.value());
    for (size_t i = 0; i < item.targets.size(); ++i) {
        const size_t at = o.saves() ? i : sizes.size() - 1;
        if (o.saves() && at + 1 >= sizes.size())
            break; // the steps stop before this save
        if (!sizes[at].isValid())
            continue; // known once the border is cut
        if (const Made<void> holds = formatHolds(item.targets[i].output.format, sizes[at]); !holds)
            return holds.reason().text;
    }
    return {};
}

// A window over a picture of which the part `opened.region` was decoded,
// `opened.reduction` times smaller: where the trims and crops before the
// first shrink leave the picture, in the full picture's pixels.
struct DecodedWindow {
    explicit DecodedWindow(const Opened &opened) : opened(opened), rect(QPoint(0, 0), opened.fullSize)
    {
        decoded.setPicture(opened.image);
    }
    void cut(const Cut &c) { rect = QRect(rect.x() + int(c.left), rect.y() + int(c.top), int(c.width), int(c.height)); }
    // The window's pixels, shared with the decoded ones.
    [[nodiscard]] QImage pixels() const
    {
        const QRect r = rect.translated(-opened.region.topLeft());
        return decoded.block(r.x(), r.y(), r.width(), r.height());
    }
    // The window's part of the decoded pixels, scaled to w x h.
    [[nodiscard]] QImage scaled(int w, int h, const Work &work) const
    {
        const QRect &part = opened.region;
        const double sx = double(opened.image.width()) / part.width();
        const double sy = double(opened.image.height()) / part.height();
        const QRectF inDecoded((rect.x() - part.x()) * sx, (rect.y() - part.y()) * sy, rect.width() * sx,
                               rect.height() * sy);
        return resampleRegion(opened.image, inDecoded, w, h, work);
    }

    const Opened &opened;
    QRect rect;
    Surface decoded;
};

// Runs the steps on the part `opened.region` of a picture, decoded
// `reduction` times smaller than that part. Until the first shrink or save,
// trims and crops only move a window over it, in the full picture's pixels;
// the shrink then averages the window's part of the decoded pixels (the
// same sums as on a copy of them), a save takes them as they are; the
// steps after run on that picture. (decodePlan saw to it that the part
// covers the window then, and that no save meets a reduced picture.)
Attempt<Edited> runPartial(const std::vector<Step> &steps, const Opened &opened, const Work &work, const SaveHere &save)
{
    DecodedWindow window(opened);
    Document doc;
    doc.openSized(opened.fullSize);
    bool held = false; // whether the document holds pixels; until then only the window moves
    const auto hold = [&](const QImage &picture) {
        doc.reframe(picture);
        held = true;
    };
    const auto ran = drive(
        steps, doc,
        [&](EditKind kind) {
            if (held)
                return doc.click(kind, work).plan;
            const EditPlan plan = clickPlanned(doc, kind);
            if (plan.refused())
                return plan;
            window.cut(plan.cut);
            if (plan.stretchWidth > 0)
                hold(window.scaled(plan.stretchWidth, plan.stretchHeight, work));
            return plan;
        },
        [&](const Step &step) {
            if (!held && step.frame()->kind == FrameKind::TrimBorder)
                hold(window.pixels());
            if (held)
                return frameOn(doc, step, work);
            // A fit or a pad scales the window's part of the decoded pixels.
            const FramePlan p = planFrame(*step.frame(), window.rect.width(), window.rect.height());
            if (p.unchanged)
                return leftAsItWas(step, false);
            const bool scales = p.scaled != FrameSize{window.rect.width(), window.rect.height()} || opened.reduction > 1;
            hold(placeOnCanvas(scales ? window.scaled(int(p.scaled.width), int(p.scaled.height), work) : window.pixels(),
                               p, step.frame()->background));
            return QString();
        },
        [&](const Step &step) {
            if (!held)
                hold(window.pixels());
            if (save)
                save(step, doc.current());
        });
    if (!ran)
        return failure(ran.reason());
    return Edited{held ? doc.current() : window.pixels(), ran.value()};
}

// What one item's files are written with.
struct ItemRun {
    const Options &options;
    const Work &work;
    const OpenFolder *outdir;
    InputFacts *input;
    qint64 budget; // the memory admission counted: a child decoder's limit
    const Opened *opened = nullptr; // the picture as opened, with the metadata it keeps
};

Outcome::File fileOutcome(const Target &target, Status status, const QString &reason)
{
    return Outcome::File{target.path, status, 0, 0, reason};
}

// A file whose write failed: skipped when its name was taken meanwhile.
Outcome::File notWritten(const QString &path, const Fault &why)
{
    if (why.cause == Fault::Cause::Exists)
        return Outcome::File{path, Status::Skipped, 0, 0, QStringLiteral("the output exists")};
    return Outcome::File{path, Status::Failed, 0, 0, why.text};
}

// The folder below the output folder that `target` goes into: opened, or
// made with `make`; null when it is missing and not to be made.
Made<OpenFolder> targetFolder(const OpenFolder &outdir, const Target &target, bool make)
{
    return outdir.below(placeInOutput(target.within).folder, make);
}

// What becomes of each target, before anything is decoded. A folder that
// leads out through a link refuses the file.
std::vector<TargetPlan> planTargets(const Item &item, const Options &o, const OpenFolder *outdir, InputFacts &input)
{
    std::vector<TargetPlan> plans;
    for (const Target &target : item.targets) {
        // A name by size is known, and planned, only once the picture is.
        if (namesBySize(target.output.name)) {
            plans.push_back({TargetPlan::Action::Write, QString(), false, std::nullopt});
            continue;
        }
        Made<OpenFolder> folder = outdir ? targetFolder(*outdir, target, false) : Made<OpenFolder>(failure(Fault::system(ENOENT)));
        if (!folder && isThroughLink(folder.reason()))
            plans.push_back({TargetPlan::Action::Refuse, throughLink().text, false, std::nullopt});
        else
            plans.push_back(planTarget(folder ? &folder.value() : nullptr, target, o, input));
    }
    return plans;
}

Outcome::File writeTarget(const Target &target, const TargetPlan &plan, const QImage &picture, const ItemRun &run)
{
    using File = Outcome::File;
    if (plan.action == TargetPlan::Action::Skip)
        return fileOutcome(target, Status::Skipped, plan.reason);
    if (plan.action == TargetPlan::Action::Refuse)
        return fileOutcome(target, Status::Refused, plan.reason);
    if (picture.isNull())
        return fileOutcome(target, Status::Failed, QStringLiteral("out of memory"));
    Made<OpenFolder> folder = targetFolder(*run.outdir, target, true);
    if (!folder) {
        if (isThroughLink(folder.reason()))
            return fileOutcome(target, Status::Refused, throughLink().text);
        const QString shown = shownName(nameFromBytes(placeInOutput(target.within).folder));
        return fileOutcome(target, Status::Failed, QStringLiteral("cannot make the folder %1: %2").arg(shown, folder.reason().text));
    }
    if (const Made<void> holds = formatHolds(target.output.format, picture.size()); !holds)
        return fileOutcome(target, Status::Refused, holds.reason().text);
    WriteRequest how{target.output.format, target.output.qualityToUse(), target.output.lossless, plan.replace,
                     run.work, AtomicFile::Links::Replace, &folder.value(), QByteArray(), plan.replaceOnly};
    if (const FileFacts *facts = run.input->hashed())
        how.record = recordLines(*facts, target, run.options);
    if (run.opened) {
        how.progressive = target.output.progressive;
        how.fullChroma = target.output.fullChroma;
        how.maxBytes = target.output.maxBytes;
        how.exif = run.opened->exif;
        how.icc = run.opened->profile;
    }
    const Made<void> written = writePicture(picture, nameFromBytes(placeInOutput(target.within).name), how);
    if (!written)
        return notWritten(target.path, written.reason());
    return File{target.path, Status::Written, picture.width(), picture.height(), plan.reason};
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

// Runs the steps on a picture of the item's size, from the header alone,
// counting in `saves` the saves they reach: the refusal that stops them.
Attempt<void> stepsRun(const Item &item, const Options &o, size_t &saves)
{
    const Made<QSize> size = pictureSize(item.input);
    if (!size)
        return failure(texts::cannotRead + QStringLiteral(" (") + size.reason().text + u')');
    bool known = true;
    Document doc;
    doc.openSized(size.value());
    const auto ran = drive(
        o.steps, doc, [&](EditKind kind) { return clickPlanned(doc, kind); },
        [&](const Step &step) { return frameSized(doc, step, known); }, [&](const Step &) { ++saves; });
    if (!ran)
        return failure(ran.reason());
    return {};
}

// A dry run's outcome: what would become of each file, nothing decoded.
Outcome planned(const Item &item, const std::vector<TargetPlan> &plans, const Options &o)
{
    using Action = TargetPlan::Action;
    const bool writes = std::any_of(plans.begin(), plans.end(), [](const TargetPlan &p) { return p.action == Action::Write; });
    // The files after the step that refuses the picture are refused with it.
    size_t reached = plans.size();
    QString refusal;
    size_t saves = 0;
    if (const Attempt<void> ran = writes ? stepsRun(item, o, saves) : Attempt<void>(); !ran) {
        reached = saves;
        refusal = ran.reason();
    }
    std::vector<Outcome::File> files;
    for (size_t i = 0; i < plans.size(); ++i) {
        const TargetPlan &plan = plans[i];
        if (plan.action == Action::Write && i >= reached)
            files.push_back(fileOutcome(item.targets[i], Status::Refused, refusal));
        else
            files.push_back(fileOutcome(item.targets[i],
                                        plan.action == Action::Write  ? Status::Written
                                        : plan.action == Action::Skip ? Status::Skipped
                                                                      : Status::Refused,
                                        plan.reason));
    }
    return combined(std::move(files), {});
}

// An item's files, written as the steps reach them.
struct ItemFiles {
    const Item &item;
    const ItemRun &run; // with the picture opened
    std::vector<Outcome::File> done;

    // Writes `named` as `plan` says; a name by size is given, and planned,
    // now that the picture's size is known.
    void write(const Target &named, const TargetPlan &plan, const QImage &picture)
    {
        if (!namesBySize(named.output.name)) {
            done.push_back(writeTarget(named, plan, picture, run));
            return;
        }
        Target target = named;
        target.path = named.pathFor(picture.size(), item.input);
        const QString name = target.path.mid(target.path.lastIndexOf(u'/') + 1);
        target.within = target.within.left(target.within.lastIndexOf(u'/') + 1) + name;
        const bool again = std::any_of(done.begin(), done.end(), [&](const Outcome::File &f) {
            return f.path.compare(target.path, Qt::CaseInsensitive) == 0;
        });
        if (again) {
            done.push_back(fileOutcome(target, Status::Refused,
                                       QStringLiteral("the output is already written from %1").arg(shownName(item.input))));
            return;
        }
        Made<OpenFolder> folder = targetFolder(*run.outdir, target, false);
        const TargetPlan planned = !folder && isThroughLink(folder.reason())
                                       ? TargetPlan{TargetPlan::Action::Refuse, throughLink().text, false, std::nullopt}
                                       : planTarget(folder ? &folder.value() : nullptr, target, run.options, *run.input);
        done.push_back(writeTarget(target, planned, picture, run));
    }
};

// A picture that could not be opened: refused, or failed where that is not
// proven to be the file's fault; nothing done once stopped.
Outcome notOpened(const Fault &why, const std::atomic<bool> &stop)
{
    if (stop.load())
        return {};
    if (why.cause == Fault::Cause::Memory || why.cause == Fault::Cause::Crashed)
        return failed(why.text);
    return refused(texts::cannotRead + QStringLiteral(" (") + why.text + u')');
}

// Decodes the picture and runs the steps, writing each file as its save
// comes, or the one at the end.
Outcome decodeAndWrite(const Item &item, const std::vector<TargetPlan> &plans, const ItemRun &run,
                       const std::atomic<bool> &stop)
{
    const Options &o = run.options;
    // Opened as the window opens a file, but only what the steps keep is
    // decoded where the format allows; with --fast, a JPEG that a shrink
    // reduces enough is decoded smaller.
    OpenRequest request{o.background.value_or(kWorkBackground), run.work, {}, &stop, run.budget};
    request.plan = [&o](QSize full) { return decodePlan(o.steps, full, o.fast); };
    request.keep = o.keepMetadata;
    const Made<Opened> opened = openPicture(item.input, request);
    if (!opened)
        return notOpened(opened.reason(), stop);
    if (!opened->source.hash.isEmpty())
        run.input->adopt(opened->source);
    ItemRun withPicture = run;
    withPicture.opened = &opened.value();
    ItemFiles files{item, withPicture, {}};
    const SaveHere save = [&](const Step &, const QImage &picture) {
        if (const size_t next = files.done.size(); next < item.targets.size() && !stop.load())
            files.write(item.targets[next], plans[next], picture);
    };
    const bool whole = opened->reduction == 1 && opened->region == QRect(QPoint(0, 0), opened->fullSize);
    const Attempt<Edited> edited =
        whole ? runSteps(o.steps, opened->image, run.work, save) : runPartial(o.steps, opened.value(), run.work, save);
    if (!edited) {
        // The saves before the refused step stand; the rest are refused.
        Outcome out = combined(std::move(files.done), {});
        out.status = Status::Refused;
        out.reason = out.reason.isEmpty() ? edited.reason() : edited.reason() + QStringLiteral("; ") + out.reason;
        return out;
    }
    if (!o.saves() && !stop.load())
        files.write(item.targets.back(), plans.back(), edited->picture);
    if (files.done.empty())
        return {};
    const bool cut = files.done.size() < item.targets.size();
    Outcome out = combined(std::move(files.done), edited->notes);
    // Saves that the interruption prevented were not written: the item is
    // not done, though some of its files are.
    if (cut)
        out.status = Status::NotDone;
    return out;
}

Outcome process(const Item &item, const Options &o, const Work &work, const std::atomic<bool> &stop,
                const OpenFolder *outdir, qint64 budget)
{
    if (!item.refusal.isEmpty())
        return refused(item.refusal);
    InputFacts input(item.input);
    const std::vector<TargetPlan> plans = planTargets(item, o, outdir, input);
    const bool writes =
        std::any_of(plans.begin(), plans.end(), [](const TargetPlan &p) { return p.action == TargetPlan::Action::Write; });
    // Refused from the header, in a dry run as in the real one.
    if (writes) {
        if (const QString beyond = beyondMemory(item, o); !beyond.isEmpty())
            return refused(beyond);
        if (const QString beyond = beyondFormat(item, o); !beyond.isEmpty())
            return refused(beyond);
    }
    if (o.dryRun)
        return planned(item, plans, o);
    // Every file to be left as it is: nothing to decode.
    if (!writes) {
        std::vector<Outcome::File> files;
        for (size_t i = 0; i < plans.size(); ++i)
            files.push_back(writeTarget(item.targets[i], plans[i], QImage(), ItemRun{o, work, outdir, &input, budget}));
        return combined(std::move(files), {});
    }
    return decodeAndWrite(item, plans, ItemRun{o, work, outdir, &input, budget}, stop);
}

} // namespace

void settleFile(Outcome &out, size_t index, const Made<void> &placed)
{
    if (placed || index >= out.files.size())
        return;
    Outcome::File &file = out.files[index];
    file = notWritten(file.path, placed.reason());
    const QStringList reasons = out.reason.split(QStringLiteral("; "), Qt::SkipEmptyParts);
    if (!file.reason.isEmpty() && !reasons.contains(file.reason))
        out.reason = (reasons + QStringList{file.reason}).join(QStringLiteral("; "));
    // The size is the last written file's; a refusal, a failure or an
    // interruption still tells the item, else the worst of its files does.
    const auto written = std::find_if(out.files.rbegin(), out.files.rend(),
                                      [](const Outcome::File &f) { return f.status == Status::Written; });
    out.width = written == out.files.rend() ? 0 : written->width;
    out.height = written == out.files.rend() ? 0 : written->height;
    if (out.status != Status::Written && out.status != Status::Skipped)
        return;
    if (file.status == Status::Failed)
        out.status = Status::Failed;
    else if (written == out.files.rend() && out.status == Status::Written)
        out.status = Status::Skipped;
}

qint64 workBytes(const Item &item, const Options &options)
{
    return item.refusal.isEmpty() ? itemPeak(item, options).bytes : 0;
}

Attempt<Edited> runSteps(const std::vector<Step> &steps, const QImage &picture, const Work &work, const SaveHere &save)
{
    Document doc;
    doc.open(picture);
    const auto ran = drive(
        steps, doc, [&](EditKind kind) { return doc.click(kind, work).plan; },
        [&](const Step &step) { return frameOn(doc, step, work); },
        [&](const Step &step) {
            if (save)
                save(step, doc.current());
        });
    if (!ran)
        return failure(ran.reason());
    return Edited{doc.current(), ran.value()};
}

Outcome processItem(const Item &item, const Options &o, const Work &work, const std::atomic<bool> &stop,
                    const OpenFolder *outdir, qint64 budget)
{
    // Memory that cannot be had fails this picture alone; the run goes on.
    try {
        return process(item, o, work, stop, outdir, budget);
    } catch (const std::bad_alloc &) {
        return failed(QStringLiteral("out of memory"));
    }
}

} // namespace pv::batch
