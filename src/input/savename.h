#pragma once

#include <QString>

namespace pv {

// The name the save dialog proposes for the file last chosen: its extension
// replaced by "bmp". Only a dot in the last path component counts (after the
// last '/' or '\'); a name without one gets ".bmp" appended; a name that
// already ends in "bmp", in any case, is kept exactly; a leading dot of a
// hidden file starts no extension. An empty name
// stays empty.
// The batch command names its outputs by the same rule with the extension of
// the format it writes.
[[nodiscard]] QString proposeSaveName(const QString &fileName, const QString &extension = QStringLiteral("bmp"));

} // namespace pv
