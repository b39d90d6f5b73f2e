#include "files/bmpwrite.h"

#include "files/atomicfile.h"

#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <vector>

namespace pv {

namespace {

void put16(char *p, quint16 v) { qToLittleEndian(v, p); }
void put32(char *p, quint32 v) { qToLittleEndian(v, p); }

} // namespace

Made<void> writeBmp(const QImage &pixels, AtomicFile &file, const Work &work)
{
    const int w = pixels.width(), h = pixels.height();
    if (w < 1 || h < 1)
        return failure(Fault::system(EINVAL));
    const qint64 stride = (qint64(w) * 3 + 3) & ~qint64(3);
    const qint64 imageBytes = stride * h;
    const qint64 fileBytes = 54 + imageBytes;
    if (fileBytes > 0xffffffffLL)
        return failure(Fault::system(EFBIG));

    char header[54] = {};
    header[0] = 'B';
    header[1] = 'M';
    put32(header + 2, quint32(fileBytes));
    put32(header + 10, 54);
    put32(header + 14, 40);
    put32(header + 18, quint32(w));
    put32(header + 22, quint32(h));
    put16(header + 26, 1);
    put16(header + 28, 24);
    put32(header + 34, quint32(imageBytes));
    put32(header + 38, 3780); // 96 dots per inch
    put32(header + 42, 3780);

    file.writeAt(header, sizeof header, 0);

    // Rows are stored bottom-up, converted and written 256 KiB at a time: a
    // buffer that small is faulted in quickly and stays in the cache. Two
    // threads each take half of the file, so that the system's work of
    // taking in the data is shared too, where the work may take a helper.
    // One spare byte in each buffer: a
    // pixel is stored as four bytes, the fourth overwritten by the next.
    const int rowsPerChunk = int(std::max<qint64>(1, (256 << 10) / stride));
    auto writeRows = [&](int from, int to) {
        std::vector<char> chunk(size_t(stride) * size_t(std::min(rowsPerChunk, to - from)) + 1, 0);
        for (int done = from; done < to;) {
            const int rows = std::min(rowsPerChunk, to - done);
            for (int r = 0; r < rows; ++r) {
                const auto *in = reinterpret_cast<const QRgb *>(pixels.constScanLine(h - 1 - (done + r)));
                char *out = chunk.data() + size_t(r) * size_t(stride);
                // QRgb in memory is B, G, R, A: its first three bytes are the BMP's.
                for (int x = 0; x < w; ++x)
                    std::memcpy(out + 3 * x, in + x, 4);
                std::memset(out + 3 * size_t(w), 0, size_t(stride) - 3 * size_t(w));
            }
            if (!file.writeAt(chunk.data(), qint64(rows) * stride, 54 + qint64(done) * stride))
                return;
            done += rows;
        }
    };
    splitRows(Work{std::min(work.helpers, 1)}, h, qint64(w) * h, writeRows);
    return file.commit();
}

} // namespace pv
