#include "surfaces/edits.h"

#include "edit/geometry.h"
#include "surfaces/resample.h"
#include "surfaces/surface.h"

namespace pv {

namespace {

// The cut of `current`, sharing its pixels.
QImage cutOf(const QImage &current, const Cut &cut)
{
    Surface source;
    source.setPicture(current);
    return source.block(int(cut.left), int(cut.top), int(cut.width), int(cut.height));
}

EditOutcome refused(const EditState &state, const QString &text)
{
    return {state, errorMessage(text, Icon::Critical), QImage()};
}

EditOutcome kept(EditState state, QImage picture)
{
    state.intEditYoko = clamp16(picture.width());
    state.intEditTate = clamp16(picture.height());
    return {state, std::nullopt, std::move(picture)};
}

} // namespace

EditOutcome applyEdit(CheckKind kind, const EditState &state, Edges edges, const QImage &current)
{
    const EditState &s = state;
    switch (kind) {
    case kTrim: {
        const Cut cut = trimCut(s.intEditYoko, s.intEditTate, s.intDotDelValue, edges);
        if (cut.isEmpty())
            return refused(s, texts::sizeNotPositive);
        return kept(s, cutOf(current, cut));
    }
    case kCentreCrop:
        return kept(s, cutOf(current, centreCut(s.intEditYoko, s.intEditTate, s.intInYoko, s.intInTate)));
    case kShrink: {
        const ShrinkPlan plan = shrinkPlan(s.intEditYoko, s.intEditTate, s.intInYoko, s.intInTate,
                                           s.intReSizeValue, edges);
        EditState after = s;
        after.intReSizeValue = clamp16(plan.margin);
        if (plan.cut.isEmpty())
            return refused(after, texts::sizeNotPositive);
        return kept(after, resample(cutOf(current, plan.cut), s.intInYoko, s.intInTate));
    }
    }
    return {s, std::nullopt, QImage()};
}

EditOutcome runEdit(CheckKind kind, const Entries &entries, const EditState &state, const QImage &current)
{
    const CheckResult check = inputCheck(kind, entries);
    if (!check.passed)
        return {state, check.message, QImage()};
    EditState captured = state;
    captureFields(captured, entries);
    return applyEdit(kind, captured, entries.edges, current);
}

} // namespace pv
