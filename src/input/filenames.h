#pragma once
// File names as the system holds them: bytes, which need not be UTF-8
// (old archives, Latin-1 names). Valid UTF-8 decodes as usual; each byte
// that is not part of valid UTF-8 becomes a lone surrogate U+DC80..U+DCFF,
// which encodes back to the same byte, so that every name survives the
// round trip and the file it names can still be opened.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace pv {

[[nodiscard]] QString nameFromBytes(QByteArrayView bytes);
[[nodiscard]] QByteArray bytesOfName(const QString &name);

// The name as shown to a person: each byte that is not UTF-8 as \xNN.
[[nodiscard]] QString shownName(const QString &name);

} // namespace pv
