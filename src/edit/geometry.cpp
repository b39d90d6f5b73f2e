#include "edit/geometry.h"

#include "edit/rounding.h"

namespace pv {

Cut trimCut(std::int64_t width, std::int64_t height, std::int64_t d, Edges edges)
{
    Cut cut{0, 0, width, height};
    if (edges.up) {
        cut.height -= d;
        cut.top = d;
    }
    if (edges.down)
        cut.height -= d;
    if (edges.left) {
        cut.width -= d;
        cut.left = d;
    }
    if (edges.right)
        cut.width -= d;
    return cut;
}

std::int64_t halfOffset(std::int64_t removal)
{
    return roundHalfEven(static_cast<double>(removal) / 2.0);
}

Cut centreCut(std::int64_t width, std::int64_t height, std::int64_t wantW, std::int64_t wantH)
{
    return {halfOffset(width - wantW), halfOffset(height - wantH), wantW, wantH};
}

namespace {

// Where a removal along one axis starts, given that axis's two edge boxes.
std::int64_t placeRemoval(std::int64_t removal, bool nearEdge, bool farEdge)
{
    if (nearEdge && farEdge)
        return halfOffset(removal);
    if (nearEdge)
        return removal;
    return 0;
}

} // namespace

ShrinkPlan shrinkPlan(std::int64_t width, std::int64_t height, std::int64_t wantW,
                      std::int64_t wantH, std::int64_t margin, Edges edges)
{
    const bool heightDrives = (height - wantH) < (width - wantW);
    // Expressed once for the driving side d and the derived side o.
    const std::int64_t drivingSide = heightDrives ? height : width;
    const std::int64_t otherSide = heightDrives ? width : height;
    const std::int64_t wantDriving = heightDrives ? wantH : wantW;
    const std::int64_t wantOther = heightDrives ? wantW : wantH;

    std::int64_t drivingCrop = 0;
    std::int64_t otherCrop = 0;
    for (;;) {
        drivingCrop = drivingSide - 2 * margin;
        otherCrop = scaleByRatio(wantOther, wantDriving, drivingCrop);
        if (otherCrop <= otherSide)
            break;
        ++margin;
    }

    ShrinkPlan plan;
    plan.margin = margin;
    const std::int64_t cropW = heightDrives ? otherCrop : drivingCrop;
    const std::int64_t cropH = heightDrives ? drivingCrop : otherCrop;
    const std::int64_t removeW = width - cropW;
    const std::int64_t removeH = height - cropH;
    plan.cut = {placeRemoval(removeW, edges.left, edges.right),
                placeRemoval(removeH, edges.up, edges.down), cropW, cropH};
    return plan;
}

} // namespace pv
