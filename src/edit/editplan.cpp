#include "edit/editplan.h"

namespace pv {

namespace {

// A cut that would leave no pixel.
EditPlan leavingNothing(const EditState &state)
{
    EditPlan plan;
    plan.state = state;
    plan.captured = true;
    plan.refusal = refusal(Refusal::Code::NothingLeft, texts::sizeNotPositive, Icon::Critical);
    return plan;
}

EditPlan keeping(EditState state, const Cut &cut, int w, int h)
{
    state.intEditYoko = clamp16(w);
    state.intEditTate = clamp16(h);
    return {state, true, std::nullopt, cut, 0, 0};
}

} // namespace

EditPlan planEdit(EditKind kind, const EditState &s, Edges edges)
{
    switch (kind) {
    case EditKind::Trim: {
        const Cut cut = trimCut(s.intEditYoko, s.intEditTate, s.intDotDelValue, edges);
        if (cut.isEmpty())
            return leavingNothing(s);
        return keeping(s, cut, int(cut.width), int(cut.height));
    }
    case EditKind::CentreCrop: {
        const Cut cut = centreCut(s.intEditYoko, s.intEditTate, s.intInYoko, s.intInTate);
        return keeping(s, cut, int(cut.width), int(cut.height));
    }
    case EditKind::Shrink: {
        const ShrinkPlan shrink = shrinkPlan(s.intEditYoko, s.intEditTate, s.intInYoko, s.intInTate,
                                             s.intReSizeValue, edges);
        EditState after = s;
        after.intReSizeValue = clamp16(shrink.margin);
        if (shrink.cut.isEmpty())
            return leavingNothing(after);
        EditPlan plan = keeping(after, shrink.cut, s.intInYoko, s.intInTate);
        plan.stretchWidth = s.intInYoko;
        plan.stretchHeight = s.intInTate;
        return plan;
    }
    }
    return leavingNothing(s); // no other kind exists
}

EditPlan planClick(EditKind kind, const Entries &entries, const EditState &state)
{
    if (const Checked<void> check = fncInputCheck(kind, entries); !check) {
        EditPlan plan;
        plan.state = state;
        plan.refusal = check.reason();
        return plan;
    }
    EditState captured = state;
    InputInfoInit(captured, entries);
    return planEdit(kind, captured, entries.edges);
}

} // namespace pv
