#pragma once

#include <QIcon>
#include <QPixmap>

namespace pv {

// Toolbar pictures, 16 x 15 on a transparent ground.
[[nodiscard]] QPixmap openFolderPicture();
[[nodiscard]] QPixmap floppyDiskPicture();
// The application's icon: a picture with crop marks.
[[nodiscard]] QIcon applicationIcon();

} // namespace pv
