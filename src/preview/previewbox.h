#pragma once

#include "surfaces/surface.h"

#include <QFrame>

namespace pv {

inline constexpr QRgb kPreviewBackground = 0xff808080;

// Draws the w x h current image at the top-left of picEdit into the cleared
// preview surface by the preview rule and returns the caption for the
// preview mode.
QString drawPreview(const Surface &picEdit, Surface &picShow, int w, int h);

// The preview box on the window: a sunken frame showing its surface at its
// inner top-left, one screen pixel per image pixel times the device pixel
// ratio, never smoothed.
class PreviewBox : public QFrame {
    Q_OBJECT
public:
    explicit PreviewBox(QWidget *parent = nullptr);
    Surface &surface() { return m_surface; }
    [[nodiscard]] const Surface &surface() const { return m_surface; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    Surface m_surface;
};

} // namespace pv
