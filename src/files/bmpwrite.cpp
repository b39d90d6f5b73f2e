#include "files/bmpwrite.h"

#include <QSaveFile>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <vector>

namespace pv {

namespace {

void put16(char *p, quint16 v) { qToLittleEndian(v, p); }
void put32(char *p, quint32 v) { qToLittleEndian(v, p); }

// Writes all of data. A device may accept only part of a write (a file
// size limit does this, without an error) and fail on the rest.
bool writeAll(QSaveFile &file, const char *data, qint64 size)
{
    while (size > 0) {
        const qint64 n = file.write(data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

QString writeBmp(const Surface &surface, int w, int h, const QString &path)
{
    if (w < 1 || h < 1)
        return QString::fromLocal8Bit(std::strerror(EINVAL));
    const qint64 stride = (qint64(w) * 3 + 3) & ~qint64(3);
    const qint64 imageBytes = stride * h;
    const qint64 fileBytes = 54 + imageBytes;
    if (fileBytes > 0xffffffffLL)
        return QString::fromLocal8Bit(std::strerror(EFBIG));

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

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    bool written = writeAll(file, header, sizeof header);

    const QImage pixels = surface.block(0, 0, w, h);
    const QRgb background = surface.background();
    // Rows go out bottom-up, several megabytes at a time.
    const int rowsPerChunk = int(std::max<qint64>(1, (8 << 20) / stride));
    std::vector<char> chunk(size_t(stride) * size_t(std::min(rowsPerChunk, h)), 0);
    for (int done = 0; done < h && written;) {
        const int rows = std::min(rowsPerChunk, h - done);
        for (int r = 0; r < rows; ++r) {
            const int y = h - 1 - (done + r);
            auto *out = reinterpret_cast<unsigned char *>(chunk.data() + size_t(r) * size_t(stride));
            const QRgb *in = y < pixels.height() ? reinterpret_cast<const QRgb *>(pixels.constScanLine(y)) : nullptr;
            const int have = in ? std::min(w, pixels.width()) : 0;
            for (int x = 0; x < w; ++x) {
                const QRgb c = x < have ? in[x] : background;
                out[3 * x] = uchar(qBlue(c));
                out[3 * x + 1] = uchar(qGreen(c));
                out[3 * x + 2] = uchar(qRed(c));
            }
        }
        written = writeAll(file, chunk.data(), qint64(rows) * stride);
        done += rows;
    }
    if (!written) {
        const QString error = file.error() != QFileDevice::NoError ? file.errorString()
                                                                   : QString::fromLocal8Bit(std::strerror(EIO));
        file.cancelWriting();
        file.commit(); // removes the temporary file
        return error;
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

} // namespace pv
