#include "edit/framing.h"

#include "edit/rounding.h"

#include <algorithm>

namespace pv {

FrameSize fitSize(std::int64_t width, std::int64_t height, std::int64_t boxW, std::int64_t boxH)
{
    const bool widthOver = boxW > 0 && width > boxW;
    const bool heightOver = boxH > 0 && height > boxH;
    if (!widthOver && !heightOver)
        return {width, height};
    // The width limits when boxW / width <= boxH / height, compared exactly.
    const bool widthLimits = boxH <= 0 || (boxW > 0 && boxW * height <= boxH * width);
    if (widthLimits)
        return {boxW, std::max<std::int64_t>(1, roundedQuotient(height * boxW, width))};
    return {std::max<std::int64_t>(1, roundedQuotient(width * boxH, height)), boxH};
}

PadPlacement padPlacement(std::int64_t width, std::int64_t height, std::int64_t boxW, std::int64_t boxH)
{
    const FrameSize fitted = fitSize(width, height, boxW, boxH);
    return {fitted, halfOffset(boxW - fitted.width), halfOffset(boxH - fitted.height)};
}

FramePlan planFrame(const FrameStep &step, std::int64_t width, std::int64_t height)
{
    FramePlan plan;
    plan.scaled = plan.canvas = {width, height};
    if (step.kind == FrameKind::Fit) {
        plan.scaled = plan.canvas = fitSize(width, height, step.width, step.height);
    } else if (step.kind == FrameKind::Pad) {
        const PadPlacement placed = padPlacement(width, height, step.width, step.height);
        plan.scaled = placed.fitted;
        plan.canvas = {step.width, step.height};
        plan.left = placed.left;
        plan.top = placed.top;
    }
    plan.unchanged = plan.canvas == FrameSize{width, height};
    return plan;
}

Cut borderCut(std::int64_t width, std::int64_t height, const Cut &content, Edges edges)
{
    if (content.isEmpty())
        return {0, 0, width, height};
    const std::int64_t left = edges.left ? content.left : 0;
    const std::int64_t top = edges.up ? content.top : 0;
    const std::int64_t right = edges.right ? content.left + content.width : width;
    const std::int64_t bottom = edges.down ? content.top + content.height : height;
    return {left, top, right - left, bottom - top};
}

} // namespace pv
