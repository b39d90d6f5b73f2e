#include "batch/picturejob.h"

#include "edit/editplan.h"
#include "files/picture.h"
#include "surfaces/edits.h"
#include "surfaces/resample.h"
#include "surfaces/worksurfaces.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

namespace pv::batch {

namespace {

QString describe(const Step &s)
{
    switch (s.kind) {
    case Step::Kind::Trim:
        return QStringLiteral("--trim ") + s.first;
    case Step::Kind::Crop:
        return QStringLiteral("--crop %1x%2").arg(s.first, s.second);
    case Step::Kind::Shrink:
        return QStringLiteral("--shrink %1x%2").arg(s.first, s.second);
    case Step::Kind::Edges:
    case Step::Kind::Margin:
        break;
    }
    return QString();
}

Result refused(const QString &reason) { return {Result::Status::Refused, 0, 0, reason}; }

// A picture decoded at a reduced scale stands for the full one until the
// first shrink: trims and crops only move a window over it, in the full
// picture's pixels, and the shrink averages the window's part of the small
// picture. From then on it is an ordinary picture.
struct Scaled {
    QImage pixels;
    double sx = 1, sy = 1; // small pixels per full pixel
    QRectF window;         // the current image, in full pixels
};

// The part `c` of the current image, which is `window` of the full picture.
QRectF narrowed(const QRectF &window, const Cut &c)
{
    return {window.x() + double(c.left), window.y() + double(c.top), double(c.width), double(c.height)};
}

// The reduction for a fast decode: the largest of 1/2, 1/4, 1/8 that still
// leaves at least twice the pixels of the first shrink's result on each
// side of its cut; 1 without a shrink.
int fastScale(const std::vector<Step> &steps, QSize full)
{
    int scale = 1;
    bool shrunk = false;
    const QString refusal = runSteps(steps, full, [&](const EditPlan &plan) {
        if (shrunk || plan.stretchWidth == 0)
            return;
        shrunk = true;
        const Cut &c = plan.cut;
        for (int d : {8, 4, 2}) {
            if (double(c.width) / d >= 2.0 * plan.stretchWidth && double(c.height) / d >= 2.0 * plan.stretchHeight) {
                scale = d;
                break;
            }
        }
    });
    return refusal.isEmpty() ? scale : 1;
}

} // namespace

QString runSteps(const std::vector<Step> &steps, QSize loaded, const std::function<void(const EditPlan &)> &apply)
{
    // As the window holds them right after opening the picture.
    EditState state;
    state.setLoadedSize(loaded.width(), loaded.height());
    QString yoko = QString::number(state.intMotoYoko), tate = QString::number(state.intMotoTate);
    QString dotDel = QStringLiteral("10"), margin = QStringLiteral("0");
    Edges edges{true, true, true, true};
    for (const Step &s : steps) {
        CheckKind kind = kTrim;
        switch (s.kind) {
        case Step::Kind::Edges:
            edges = s.edges;
            continue;
        case Step::Kind::Margin:
            margin = s.first;
            continue;
        case Step::Kind::Trim:
            dotDel = s.first;
            kind = kTrim;
            break;
        case Step::Kind::Crop:
        case Step::Kind::Shrink:
            yoko = s.first;
            tate = s.second;
            kind = s.kind == Step::Kind::Crop ? kCentreCrop : kShrink;
            break;
        }
        const Entries entries{QString::number(state.intMotoYoko), QString::number(state.intMotoTate), yoko, tate,
                              margin, dotDel, edges, state.intEditYoko, state.intEditTate};
        const EditPlan plan = planClick(kind, entries, state);
        if (plan.refused())
            return describe(s) + QStringLiteral(": ") + (plan.refusal ? plan.refusal->text : QString());
        apply(plan);
        state = plan.state;
        // The shrink writes back the margin it ended with.
        if (kind == kShrink)
            margin = QString::number(state.intReSizeValue);
    }
    return QString();
}

qint64 workingBytes(QSize size)
{
    // The decoded picture, an edit's result as large, and the writer's
    // buffers.
    return qint64(std::max(size.width(), 1)) * std::max(size.height(), 1) * 4 * 2 + (qint64(4) << 20);
}

Result runJob(const Job &job, const Options &o, const std::atomic<bool> &stop)
{
    if (!job.refusal.isEmpty())
        return refused(job.refusal);
    struct stat st {};
    if (!o.overwrite && ::lstat(QFile::encodeName(job.output).constData(), &st) == 0)
        return {Result::Status::Skipped, 0, 0, QStringLiteral("the output exists")};

    // Open, as the window opens a file; with --fast a JPEG that a shrink
    // reduces enough is decoded at a reduced scale.
    QImage current;
    std::optional<Scaled> scaled;
    if (o.fast) {
        const FileBytes file = readPictureFile(job.input);
        Decoded d{QImage(), file.error};
        if (file.error.isEmpty()) {
            const QSize full = file.bytes.startsWith("\xff\xd8") ? jpegSize(file.bytes) : QSize();
            const int scale = full.isValid() ? fastScale(o.steps, full) : 1;
            if (scale > 1) {
                d = decodeJpeg(file.bytes, scale);
                if (d.ok()) {
                    scaled = Scaled{d.image, double(d.image.width()) / full.width(),
                                    double(d.image.height()) / full.height(), QRectF(0, 0, full.width(), full.height())};
                }
            } else {
                d = decodePicture(file.bytes, kWorkBackground);
            }
        }
        if (!d.ok())
            return refused(texts::cannotRead + QStringLiteral(" (") + d.error + u')');
        current = d.image;
    } else {
        const Decoded d = loadPicture(job.input, kWorkBackground);
        if (!d.ok())
            return refused(texts::cannotRead + QStringLiteral(" (") + d.error + u')');
        current = d.image;
    }

    const QSize loaded = scaled ? scaled->window.size().toSize() : current.size();
    const QString refusal = runSteps(o.steps, loaded, [&](const EditPlan &plan) {
        if (!scaled) {
            current = applyPlan(plan, current).picture;
            return;
        }
        scaled->window = narrowed(scaled->window, plan.cut);
        if (plan.stretchWidth > 0) {
            const QRectF &v = scaled->window;
            const QRectF region(v.x() * scaled->sx, v.y() * scaled->sy, v.width() * scaled->sx, v.height() * scaled->sy);
            current = resampleRegion(scaled->pixels, region, plan.stretchWidth, plan.stretchHeight);
            scaled.reset();
        }
    });
    if (!refusal.isEmpty())
        return refused(refusal);
    if (scaled) // no shrink after all: the full picture is needed
        return {Result::Status::Failed, 0, 0, QStringLiteral("fast decoding without a shrink")};
    if (current.isNull())
        return {Result::Status::Failed, 0, 0, QStringLiteral("out of memory")};

    if (stop.load())
        return {};
    const QString folder = QFileInfo(job.output).path();
    if (!QDir().mkpath(folder))
        return {Result::Status::Failed, 0, 0, QStringLiteral("cannot make the folder %1").arg(folder)};
    const WriteOutcome written = writePicture(current, job.output, o.format, o.quality, o.overwrite);
    if (written.existed)
        return {Result::Status::Skipped, 0, 0, QStringLiteral("the output exists")};
    if (!written.error.isEmpty())
        return {Result::Status::Failed, 0, 0, written.error};
    return {Result::Status::Written, current.width(), current.height(), QString()};
}

} // namespace pv::batch
