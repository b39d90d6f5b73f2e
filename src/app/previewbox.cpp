#include "app/previewbox.h"

#include <QPainter>

namespace pv {

PreviewBox::PreviewBox(QWidget *parent) : QFrame(parent), m_surface(0, 0, kPreviewBackground)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
}

Surface &PreviewBox::surface()
{
    fitSurface();
    return m_surface;
}

const Surface &PreviewBox::surface() const
{
    fitSurface();
    return m_surface;
}

void PreviewBox::fitSurface() const
{
    const QRect inner = contentsRect();
    if (inner.width() != m_surface.width() || inner.height() != m_surface.height()) {
        // Keep what is drawn when the box is resized (it is not, normally).
        Surface resized(inner.width(), inner.height(), kPreviewBackground);
        resized.bitBlt(m_surface, m_surface.width(), m_surface.height(), 0, 0);
        m_surface = resized;
    }
}

void PreviewBox::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    const QRect inner = contentsRect();
    painter.fillRect(inner, QColor::fromRgb(surface().background()));
    const QImage &content = surface().content();
    if (!content.isNull())
        painter.drawImage(inner.topLeft(), content);
}

} // namespace pv
