#pragma once
// An off-screen pixel surface of a fixed size with a background colour.
//
// Every copy and stretch writes at (0, 0) of its destination, so a surface
// is held as a top-left block of content over its background: pixels outside
// the block read as the background. Clearing drops the block, and copying a
// block that lies inside the source's content shares the source's pixels
// instead of duplicating them (written to later, it detaches).

#include "surfaces/pixelmemory.h"

#include <QImage>
#include <QRgb>

namespace pv {

class Surface {
public:
    Surface() = default;
    Surface(int width, int height, QRgb background);

    [[nodiscard]] int width() const { return m_width; }
    [[nodiscard]] int height() const { return m_height; }
    [[nodiscard]] QRgb background() const { return m_background; }

    // New size, cleared.
    void resize(int width, int height);
    // Every pixel becomes the background.
    void clear();
    // The surface takes the picture's size and pixels (RGB32, or
    // premultiplied ARGB32 where the batch command keeps transparency).
    void setPicture(const QImage &picture);

    // Copies the w x h block at (xSrc, ySrc) of src to (0, 0) here. Pixels
    // whose source or destination falls outside either surface are skipped.
    void bitBlt(const Surface &src, int w, int h, int xSrc, int ySrc);
    // Stretches the srcW x srcH block at (xSrc, ySrc) of src onto the w x h
    // block at (0, 0) here: area averaging along an axis that shrinks,
    // linear interpolation along one that grows, an exact copy at the same
    // size. A size of 0 or less draws nothing.
    void stretchBlt(const Surface &src, int w, int h, int xSrc, int ySrc, int srcW, int srcH);

    [[nodiscard]] QRgb pixel(int x, int y) const;
    // The w x h block at (x, y), clipped to the surface, as an image of the
    // content's format (RGB32 when there is none).
    // Shares pixels where it can; never null for a non-empty block.
    [[nodiscard]] QImage block(int x, int y, int w, int h) const;
    // The written top-left part; everything beyond it is background.
    [[nodiscard]] const QImage &content() const { return m_content; }

private:
    void write(const QImage &pixels, int x, int y);

    int m_width = 0;
    int m_height = 0;
    QRgb m_background = 0xff000000;
    QImage m_content;
};

} // namespace pv
