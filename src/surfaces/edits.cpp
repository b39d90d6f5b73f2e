#include "surfaces/edits.h"

#include "surfaces/resample.h"
#include "surfaces/surface.h"

namespace pv {

EditOutcome applyPlan(const EditPlan &plan, const QImage &current)
{
    if (plan.refused())
        return {plan.state, plan.refusal, QImage()};
    Surface source;
    source.setPicture(current);
    const Cut &c = plan.cut;
    QImage kept = source.block(int(c.left), int(c.top), int(c.width), int(c.height));
    if (plan.stretchWidth > 0)
        kept = resample(kept, plan.stretchWidth, plan.stretchHeight);
    return {plan.state, std::nullopt, kept};
}

EditOutcome applyEdit(CheckKind kind, const EditState &state, Edges edges, const QImage &current)
{
    return applyPlan(planEdit(kind, state, edges), current);
}

EditOutcome runEdit(CheckKind kind, const Entries &entries, const EditState &state, const QImage &current)
{
    return applyPlan(planClick(kind, entries, state), current);
}

} // namespace pv
