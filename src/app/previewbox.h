#pragma once

#include "surfaces/surface.h"

#include <QFrame>

namespace pv {

inline constexpr QRgb kPreviewBackground = 0xff808080;

// The preview box on the window: a sunken frame showing its surface at its
// inner top-left, one screen pixel per image pixel times the device pixel
// ratio, never smoothed.
class PreviewBox : public QFrame {
    Q_OBJECT
public:
    explicit PreviewBox(QWidget *parent = nullptr);
    // The surface is as large as the box's inside, shown or not.
    Surface &surface();
    [[nodiscard]] const Surface &surface() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void fitSurface() const;
    mutable Surface m_surface;
};

} // namespace pv
