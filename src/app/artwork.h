#pragma once

#include <QIcon>
#include <QPixmap>
#include <QProxyStyle>

namespace pv {

// Toolbar pictures, 16 x 15 on a transparent ground.
[[nodiscard]] QPixmap openFolderPicture();
[[nodiscard]] QPixmap floppyDiskPicture();
// The application's icon: a picture with crop marks.
[[nodiscard]] QIcon applicationIcon();

// The platform's style with the menu bar's and toolbar's overflow arrows
// drawn in code. The stock arrows are PNG resources, and reading the first
// of them makes Qt load every image format plugin to ask whether it knows
// PNG, which costs more than building the whole window.
class ApplicationStyle : public QProxyStyle
{
    Q_OBJECT
public:
    using QProxyStyle::QProxyStyle;
    QIcon standardIcon(StandardPixmap which, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;
};

// Puts ApplicationStyle over the current application style, once.
void useApplicationStyle();

} // namespace pv
