#include "surfaces/surface.h"

#include "surfaces/resample.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace pv {

namespace {

// A read-only view of part of an image, sharing its pixels, in its format.
QImage viewOf(const QImage &image, const QRect &r)
{
    if (r == image.rect())
        return image;
    auto *keep = new QImage(image);
    return QImage(keep->constScanLine(r.y()) + r.x() * 4, r.width(), r.height(),
                  keep->bytesPerLine(), image.format(),
                  [](void *p) { delete static_cast<QImage *>(p); }, keep);
}

void copyRows(QImage &dst, int dx, int dy, const QImage &src)
{
    const size_t rowBytes = size_t(src.width()) * 4;
    for (int y = 0; y < src.height(); ++y)
        std::memcpy(dst.scanLine(dy + y) + size_t(dx) * 4, src.constScanLine(y), rowBytes);
}

} // namespace

Surface::Surface(int width, int height, QRgb background)
    : m_width(std::max(0, width)), m_height(std::max(0, height)), m_background(background | 0xff000000)
{
}

void Surface::resize(int width, int height)
{
    m_width = std::max(0, width);
    m_height = std::max(0, height);
    m_content = QImage();
}

void Surface::clear() { m_content = QImage(); }

void Surface::setPicture(const QImage &picture)
{
    m_width = picture.width();
    m_height = picture.height();
    m_content = picture;
}

QRgb Surface::pixel(int x, int y) const
{
    if (x < m_content.width() && y < m_content.height() && x >= 0 && y >= 0)
        return reinterpret_cast<const QRgb *>(m_content.constScanLine(y))[x] | 0xff000000;
    return m_background;
}

QImage Surface::block(int x, int y, int w, int h) const
{
    const QRect r = QRect(x, y, w, h) & QRect(0, 0, m_width, m_height);
    if (r.isEmpty())
        return QImage();
    if (m_content.rect().contains(r))
        return viewOf(m_content, r);
    QImage out = allocateImage(r.width(), r.height(), m_content.isNull() ? QImage::Format_RGB32 : m_content.format());
    out.fill(m_background);
    const QRect inside = r & m_content.rect();
    if (!inside.isEmpty())
        copyRows(out, inside.x() - r.x(), inside.y() - r.y(), viewOf(m_content, inside));
    return out;
}

void Surface::write(const QImage &pixels, int x, int y)
{
    // Clip to this surface.
    const QRect target = QRect(x, y, pixels.width(), pixels.height()) & QRect(0, 0, m_width, m_height);
    if (target.isEmpty())
        return;
    const QImage part = viewOf(pixels, target.translated(-x, -y));
    if (m_content.isNull() && target.topLeft() == QPoint(0, 0)) {
        m_content = part;
        return;
    }
    const int needW = std::max(m_content.width(), target.right() + 1);
    const int needH = std::max(m_content.height(), target.bottom() + 1);
    if (needW != m_content.width() || needH != m_content.height()) {
        QImage grown = allocateImage(needW, needH);
        grown.fill(m_background);
        if (!m_content.isNull())
            copyRows(grown, 0, 0, m_content);
        m_content = grown;
    }
    copyRows(m_content, target.x(), target.y(), part);
}

void Surface::bitBlt(const Surface &src, int w, int h, int xSrc, int ySrc)
{
    // Destination offsets that have a source pixel and a destination pixel.
    const int i0 = std::max(0, -xSrc);
    const int j0 = std::max(0, -ySrc);
    const int i1 = std::min({w, m_width, src.width() - xSrc});
    const int j1 = std::min({h, m_height, src.height() - ySrc});
    if (i1 <= i0 || j1 <= j0)
        return;
    write(src.block(xSrc + i0, ySrc + j0, i1 - i0, j1 - j0), i0, j0);
}

void Surface::stretchBlt(const Surface &src, int w, int h, int xSrc, int ySrc, int srcW, int srcH)
{
    if (w <= 0 || h <= 0 || srcW <= 0 || srcH <= 0)
        return;
    if (w == srcW && h == srcH) {
        bitBlt(src, w, h, xSrc, ySrc);
        return;
    }
    const QImage source = src.block(xSrc, ySrc, srcW, srcH);
    if (source.isNull())
        return;
    // The block was clipped to the source; scale what is left so that the
    // stretch keeps its proportions across the clipped edges.
    const int outW = int((long long)w * source.width() / srcW);
    const int outH = int((long long)h * source.height() / srcH);
    if (outW <= 0 || outH <= 0)
        return;
    const int ox = int((long long)w * std::max(0, -xSrc) / srcW);
    const int oy = int((long long)h * std::max(0, -ySrc) / srcH);
    // Only the part that lands on this surface needs computing.
    write(resampleRegion(source, QRectF(0, 0, source.width(), source.height()), outW, outH, Work(),
                         std::min(outW, m_width - ox), std::min(outH, m_height - oy)),
          ox, oy);
}

} // namespace pv
