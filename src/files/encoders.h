#pragma once
// The writers of the format table's rows: each makes the file at one
// quality, with the request's EXIF and profile as the format keeps them.
// Empty data is never returned: a writer that fails says why (Cause::Memory
// where the encoder could not have the memory it needs).

#include "files/imagewrite.h"

namespace pv {

// "cannot encode the picture".
[[nodiscard]] Fault cannotEncode();
// Whether `bytes` of memory could not be had just now. An encoder that
// fails without saying why is taken to have run out of memory only then:
// the least it needs was not there.
[[nodiscard]] bool memoryShort(qint64 bytes);

[[nodiscard]] Made<QByteArray> pngFile(const QImage &pixels, const WriteRequest &request, int quality);
[[nodiscard]] Made<QByteArray> jpegFile(const QImage &pixels, const WriteRequest &request, int quality);
[[nodiscard]] Made<QByteArray> webpFile(const QImage &pixels, const WriteRequest &request, int quality);
[[nodiscard]] Made<QByteArray> avifFile(const QImage &pixels, const WriteRequest &request, int quality);
[[nodiscard]] Made<QByteArray> jxlFile(const QImage &pixels, const WriteRequest &request, int quality);
// BMP as the window saves it, written into the file while it is made.
[[nodiscard]] Made<void> bmpFile(const QImage &pixels, AtomicFile &file, const WriteRequest &request);

} // namespace pv
