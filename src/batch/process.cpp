#include "batch/process.h"

#include "batch/folders.h"
#include "input/filenames.h"

#include "edit/editplan.h"
#include "files/picture.h"
#include "surfaces/edits.h"
#include "surfaces/resample.h"
#include "surfaces/worksurfaces.h"


#include <sys/stat.h>

namespace pv::batch {

namespace {

Outcome refused(const QString &reason) { return {Outcome::Status::Refused, 0, 0, reason}; }
Outcome failed(const QString &reason) { return {Outcome::Status::Failed, 0, 0, reason}; }

// Drives the steps as a user at the window would, right after opening a
// picture of `loaded` size: each step typed into the fields and boxes, and
// its button, if it has one, clicked through click(kind, entries, state),
// which gives what the click did (an EditPlan or an EditOutcome). Stops at
// the first refusal and gives its reason.
template <class Click>
Attempt<void> drive(const std::vector<Step> &steps, QSize loaded, Click click)
{
    EditState state;
    state.setLoadedSize(loaded.width(), loaded.height());
    // As PicWorkInit leaves the fields.
    Fields fields;
    fields.yoko = QString::number(state.intMotoYoko);
    fields.tate = QString::number(state.intMotoTate);
    for (const Step &step : steps) {
        step.typeInto(fields);
        if (!step.click)
            continue;
        const auto did = click(*step.click, entriesOf(fields, state), state);
        state = did.state;
        // The shrink writes back the margin it ended with.
        if (did.captured && *step.click == EditKind::Shrink)
            fields.reSizeValue = QString::number(state.intReSizeValue);
        if (did.refusal || !did.captured)
            return failure(step.given + QStringLiteral(": ") + (did.refusal ? did.refusal->text : QString()));
    }
    return {};
}

// The reduction for a fast decode of a picture of `full` size: the largest
// of 2, 4 and 8 that still leaves at least twice the pixels of the first
// shrink's result on each side of its cut; 1 when no shrink runs.
int fastReduction(const std::vector<Step> &steps, QSize full)
{
    int reduction = 1;
    bool shrunk = false;
    const Attempt<void> ran = drive(steps, full, [&](EditKind kind, const Entries &entries, const EditState &state) {
        const EditPlan plan = planClick(kind, entries, state);
        if (!shrunk && !plan.refused() && plan.stretchWidth > 0) {
            shrunk = true;
            const Cut &c = plan.cut;
            for (int d : {8, 4, 2}) {
                if (double(c.width) / d >= 2.0 * plan.stretchWidth && double(c.height) / d >= 2.0 * plan.stretchHeight) {
                    reduction = d;
                    break;
                }
            }
        }
        return plan;
    });
    return ran ? reduction : 1;
}

// Runs the steps on a picture decoded `reduction` times smaller than its
// full size. Until the first shrink, trims and crops only move a window
// over it, in the full picture's pixels; the shrink then averages the
// window's part of the small picture, and the steps after it run on that.
Attempt<QImage> runReduced(const std::vector<Step> &steps, const Opened &opened, const Work &work)
{
    const double sx = double(opened.image.width()) / opened.fullSize.width();
    const double sy = double(opened.image.height()) / opened.fullSize.height();
    QRectF window(QPointF(0, 0), QSizeF(opened.fullSize));
    QImage current; // null until the shrink
    const Attempt<void> ran = drive(steps, opened.fullSize, [&](EditKind kind, const Entries &entries, const EditState &state) {
        const EditPlan plan = planClick(kind, entries, state);
        if (plan.refused())
            return plan;
        if (!current.isNull()) {
            current = applyPlan(plan, current, work).picture;
            return plan;
        }
        const Cut &c = plan.cut;
        window = QRectF(window.x() + double(c.left), window.y() + double(c.top), double(c.width), double(c.height));
        if (plan.stretchWidth > 0) {
            const QRectF region(window.x() * sx, window.y() * sy, window.width() * sx, window.height() * sy);
            current = resampleRegion(opened.image, region, plan.stretchWidth, plan.stretchHeight, work);
        }
        return plan;
    });
    if (!ran)
        return failure(ran.reason());
    return current;
}

} // namespace

Attempt<QImage> runSteps(const std::vector<Step> &steps, const QImage &picture, const Work &work)
{
    QImage current = picture;
    const Attempt<void> ran = drive(steps, picture.size(), [&](EditKind kind, const Entries &entries, const EditState &state) {
        EditOutcome did = runClick(kind, entries, state, current, work);
        if (!did.refusal)
            current = did.picture;
        return did;
    });
    if (!ran)
        return failure(ran.reason());
    return current;
}

qint64 workingBytes(QSize size)
{
    // The decoded picture, an edit's result as large, and the writer's
    // buffers.
    return qint64(std::max(size.width(), 1)) * std::max(size.height(), 1) * 4 * 2 + (qint64(4) << 20);
}

namespace {

Outcome process(const Item &item, const Options &o, const Work &work, const std::atomic<bool> &stop)
{
    if (!item.refusal.isEmpty())
        return refused(item.refusal);
    // An output that exists is kept, a link included (never followed),
    // unless it is what a power failure left mid-write: then it is written
    // again.
    QString again;
    struct stat st {};
    if (!o.overwrite && ::lstat(bytesOfName(item.output).constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode) || !looksCutShort(item.output, o.format))
            return {Outcome::Status::Skipped, 0, 0, QStringLiteral("the output exists")};
        again = QStringLiteral("written again: the output was incomplete");
    }

    // Opened as the window opens a file; with --fast, a JPEG that a shrink
    // reduces enough is decoded smaller.
    OpenRequest request{kWorkBackground, work, {}, &stop};
    if (o.fast)
        request.reduction = [&o](QSize full) { return fastReduction(o.steps, full); };
    const Made<Opened> opened = openPicture(item.input, request);
    if (!opened) {
        const Fault &why = opened.reason();
        if (stop.load())
            return {};
        if (why.cause == Fault::Cause::Memory)
            return failed(why.text);
        return refused(texts::cannotRead + QStringLiteral(" (") + why.text + u')');
    }
    const Attempt<QImage> edited =
        opened->reduction > 1 ? runReduced(o.steps, opened.value(), work) : runSteps(o.steps, opened->image, work);
    if (!edited)
        return refused(edited.reason());
    const QImage &current = edited.value();
    if (current.isNull())
        return failed(QStringLiteral("out of memory"));

    if (stop.load())
        return {};
    const QString folder = item.output.left(std::max<qsizetype>(item.output.lastIndexOf(u'/'), 0));
    if (!folder.isEmpty()) {
        if (const Attempt<void> made = makeFolders(folder); !made)
            return failed(QStringLiteral("cannot make the folder %1: %2").arg(shownName(folder), made.reason()));
    }
    // A link planted in the output folder may not lead the file elsewhere.
    if (!liesWithin(item.output, o.outputDir))
        return refused(QStringLiteral("the output's folder leads out of the output folder through a link"));
    const WriteRequest how{o.format, o.quality, o.overwrite || !again.isEmpty(), work, AtomicFile::Links::Replace};
    const Made<void> written = writePicture(current, item.output, how);
    if (!written) {
        if (written.reason().cause == Fault::Cause::Exists)
            return {Outcome::Status::Skipped, 0, 0, QStringLiteral("the output exists")};
        return failed(written.reason().text);
    }
    return {Outcome::Status::Written, current.width(), current.height(), again};
}

} // namespace

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
