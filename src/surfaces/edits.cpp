#include "surfaces/edits.h"

#include "surfaces/resample.h"
#include "surfaces/surface.h"

namespace pv {

EditOutcome applyPlan(const EditPlan &plan, const QImage &current, const Work &work)
{
    if (plan.refused())
        return {plan, QImage()};
    Surface source;
    source.setPicture(current);
    const Cut &c = plan.cut;
    QImage kept = source.block(int(c.left), int(c.top), int(c.width), int(c.height));
    if (plan.stretchWidth > 0)
        kept = resample(kept, plan.stretchWidth, plan.stretchHeight, work);
    return {plan, kept};
}

} // namespace pv
