#include "surfaces/framing.h"

#include "surfaces/pixelmemory.h"
#include "surfaces/resample.h"
#include "surfaces/surface.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pv {

namespace {

bool near(QRgb a, QRgb b, int threshold)
{
    for (int shift = 0; shift < 32; shift += 8)
        if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > threshold)
            return false;
    return true;
}

} // namespace

Cut differingPart(const QImage &picture, int threshold)
{
    const int w = picture.width(), h = picture.height();
    if (w <= 0 || h <= 0)
        return {};
    const QRgb border = reinterpret_cast<const QRgb *>(picture.constScanLine(0))[0];
    int left = w, right = -1, top = h, bottom = -1;
    for (int y = 0; y < h; ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        int first = 0;
        while (first < w && near(row[first], border, threshold))
            ++first;
        if (first == w)
            continue;
        int last = w - 1;
        while (last > first && near(row[last], border, threshold))
            --last;
        left = std::min(left, first);
        right = std::max(right, last);
        top = std::min(top, y);
        bottom = y;
    }
    if (bottom < 0)
        return {};
    return {left, top, right - left + 1, bottom - top + 1};
}

QImage placeOnCanvas(const QImage &scaled, const FramePlan &plan, QRgb background)
{
    if (plan.canvas == plan.scaled)
        return scaled;
    const bool transparent = qAlpha(background) == 0;
    const QImage::Format format = transparent ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    const QImage source = scaled.format() == format ? scaled : scaled.convertToFormat(format);
    QImage canvas = allocateImage(int(plan.canvas.width), int(plan.canvas.height), format);
    canvas.fill(transparent ? QRgb(0) : background | 0xff000000u);
    const size_t rowBytes = size_t(source.width()) * 4;
    for (int y = 0; y < source.height(); ++y)
        std::memcpy(canvas.scanLine(int(plan.top) + y) + size_t(plan.left) * 4, source.constScanLine(y), rowBytes);
    return canvas;
}

Framed applyFrame(const FrameStep &step, const QImage &current, Edges edges, const Work &work)
{
    if (step.kind == FrameKind::TrimBorder) {
        const Cut content = differingPart(current, step.threshold);
        const Cut keep = borderCut(current.width(), current.height(), content, edges);
        if (keep.left == 0 && keep.top == 0 && keep.width == current.width() && keep.height == current.height())
            return {current, true, content.isEmpty()};
        Surface source;
        source.setPicture(current);
        return {source.block(int(keep.left), int(keep.top), int(keep.width), int(keep.height))};
    }
    const FramePlan plan = planFrame(step, current.width(), current.height());
    if (plan.unchanged)
        return {current, true, false};
    const bool scales = plan.scaled != FrameSize{current.width(), current.height()};
    const QImage scaled = scales ? resample(current, int(plan.scaled.width), int(plan.scaled.height), work) : current;
    return {placeOnCanvas(scaled, plan, step.background)};
}

} // namespace pv
