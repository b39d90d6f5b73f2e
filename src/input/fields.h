#pragma once
// The texts of the entry fields and the state of the edge boxes, as a click
// reads them. Default-constructed, they hold what the window shows when it
// opens: the layout and the batch command both start from here.

#include "edit/geometry.h"

#include <QString>

namespace pv {

struct Fields {
    QString yoko = QStringLiteral("0");         // txtYoko: the width wanted
    QString tate = QStringLiteral("0");         // txtTate: the height wanted
    QString reSizeValue = QStringLiteral("0");  // txtReSizeValue: the shrink's margin
    QString dotDelValue = QStringLiteral("10"); // txtDotDelValue: the pixels to trim
    Edges edges{true, true, true, true};        // chkUp, chkDown, chkLeft, chkRight
};

} // namespace pv
