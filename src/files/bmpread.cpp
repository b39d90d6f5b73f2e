// BMP decoding: 1, 4, 8, 16, 24 and 32 bits, RLE4 and RLE8, bit fields,
// bottom-up and top-down. Every pixel of the result is either decoded from
// the file or, where an RLE stream skips it, left transparent.
#include "files/picture.h"
#include "surfaces/pixelmemory.h"

#include <QtEndian>

#include <cstdint>
#include <cstring>
#include <vector>

namespace pv {

namespace {

enum Compression : std::uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6 };

class Bytes {
public:
    explicit Bytes(const QByteArray &b) : m_data(reinterpret_cast<const std::uint8_t *>(b.constData())), m_size(b.size()) {}
    [[nodiscard]] bool has(qint64 offset, qint64 count) const
    {
        return offset >= 0 && count >= 0 && offset <= m_size && count <= m_size - offset;
    }
    [[nodiscard]] std::uint32_t u16(qint64 o) const { return m_data[o] | (m_data[o + 1] << 8); }
    [[nodiscard]] std::uint32_t u32(qint64 o) const { return u16(o) | (u16(o + 2) << 16); }
    [[nodiscard]] const std::uint8_t *at(qint64 o) const { return m_data + o; }
    [[nodiscard]] qint64 size() const { return m_size; }

private:
    const std::uint8_t *m_data;
    qint64 m_size;
};

// One channel of a bit-field pixel, scaled to 8 bits.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0;
    explicit Channel(std::uint32_t m = 0) : mask(m)
    {
        if (!m)
            return;
        while (!((m >> shift) & 1))
            ++shift;
        max = m >> shift;
    }
    [[nodiscard]] int value(std::uint32_t px) const
    {
        if (!max)
            return 0;
        return int((std::uint64_t((px & mask) >> shift) * 255 + max / 2) / max);
    }
};

Decoded refuse(const char *why) { return {QImage(), QString::fromLatin1(why)}; }

void decodeRle(const Bytes &in, qint64 pos, int bpp, const std::vector<QRgb> &palette, QImage &image,
               bool &complete)
{
    const int w = image.width(), h = image.height();
    image.fill(Qt::transparent);
    int x = 0, row = 0; // row counts from the bottom
    auto put = [&](int index) {
        if (x < w && row < h) {
            const QRgb c = index < int(palette.size()) ? palette[index] : qRgb(0, 0, 0);
            reinterpret_cast<QRgb *>(image.scanLine(h - 1 - row))[x] = c;
        }
        ++x;
    };
    complete = false;
    while (in.has(pos, 2)) {
        const int count = *in.at(pos), value = *in.at(pos + 1);
        pos += 2;
        if (count > 0) {
            for (int i = 0; i < count; ++i)
                put(bpp == 8 ? value : (i % 2 == 0 ? value >> 4 : value & 15));
            continue;
        }
        if (value == 0) { // end of line
            x = 0;
            ++row;
        } else if (value == 1) { // end of bitmap
            complete = true;
            return;
        } else if (value == 2) { // delta
            if (!in.has(pos, 2))
                return;
            x += *in.at(pos);
            row += *in.at(pos + 1);
            pos += 2;
        } else { // absolute run of `value` pixels, padded to 16 bits
            const qint64 bytes = bpp == 8 ? value : (value + 1) / 2;
            if (!in.has(pos, bytes))
                return;
            for (int i = 0; i < value; ++i) {
                const int b = *in.at(pos + (bpp == 8 ? i : i / 2));
                put(bpp == 8 ? b : (i % 2 == 0 ? b >> 4 : b & 15));
            }
            pos += (bytes + 1) & ~qint64(1);
        }
        if (row >= h) {
            complete = true;
            return;
        }
    }
}

} // namespace

Decoded decodeBmp(const QByteArray &bytes)
{
    const Bytes in(bytes);
    if (!in.has(0, 18) || in.u16(0) != 0x4d42)
        return refuse("not a BMP file");
    const qint64 dataOffset = in.u32(10);
    const std::uint32_t headerSize = in.u32(14);
    if (!in.has(14, headerSize) || headerSize < 12)
        return refuse("truncated header");

    qint64 width, height;
    int bpp;
    std::uint32_t compression = kRgb, colorsUsed = 0;
    int paletteEntry = 4;
    if (headerSize == 12) { // OS/2 core header
        width = in.u16(18);
        height = std::int16_t(in.u16(20));
        bpp = int(in.u16(24));
        paletteEntry = 3;
    } else if (headerSize >= 40) {
        width = std::int32_t(in.u32(18));
        height = std::int32_t(in.u32(22));
        bpp = int(in.u16(28));
        compression = in.u32(30);
        colorsUsed = in.u32(46);
        if (headerSize == 64 && compression != kRgb)
            return refuse("unsupported OS/2 compression");
    } else {
        return refuse("unknown header");
    }
    const bool topDown = height < 0;
    if (topDown)
        height = -height;
    if (width < 1 || height < 1)
        return refuse("empty picture");
    if (!sizeAllowed(width, height))
        return refuse("picture too large");

    Channel red, green, blue;
    switch (compression) {
    case kRgb:
        if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            return refuse("impossible bit count");
        if (bpp == 16)
            red = Channel(0x7c00), green = Channel(0x03e0), blue = Channel(0x001f);
        if (bpp == 32)
            red = Channel(0xff0000), green = Channel(0xff00), blue = Channel(0xff);
        break;
    case kRle8:
    case kRle4:
        if (bpp != (compression == kRle8 ? 8 : 4) || topDown)
            return refuse("bad RLE header");
        break;
    case kBitFields:
    case kAlphaBitFields: {
        if (bpp != 16 && bpp != 32)
            return refuse("bad bit fields");
        const qint64 maskAt = 14 + (headerSize >= 52 ? 40 : headerSize);
        if (!in.has(maskAt, 12))
            return refuse("truncated masks");
        red = Channel(in.u32(maskAt));
        green = Channel(in.u32(maskAt + 4));
        blue = Channel(in.u32(maskAt + 8));
        break;
    }
    default:
        return refuse("unsupported compression");
    }

    std::vector<QRgb> palette;
    if (bpp <= 8) {
        const qint64 maxColors = qint64(1) << bpp;
        const qint64 colors = (colorsUsed == 0 || colorsUsed > maxColors) ? maxColors : colorsUsed;
        qint64 at = 14 + headerSize;
        if (compression == kBitFields || compression == kAlphaBitFields)
            at += 12;
        // A palette cut short by the pixel data keeps the entries that fit.
        const qint64 available = std::min<qint64>(colors, (std::min(dataOffset, in.size()) - at) / paletteEntry);
        if (available < 1)
            return refuse("missing palette");
        for (qint64 i = 0; i < available; ++i) {
            const std::uint8_t *p = in.at(at + i * paletteEntry);
            palette.push_back(qRgb(p[2], p[1], p[0]));
        }
    }

    if (dataOffset < 14 + headerSize || dataOffset >= in.size())
        return refuse("bad pixel data offset");

    const bool rle = compression == kRle8 || compression == kRle4;
    // Checked before allocating, so that a short file claiming a huge size
    // costs nothing.
    const qint64 stride = ((width * bpp + 31) / 32) * 4;
    const qint64 lastRow = (width * bpp + 7) / 8;
    if (!rle && !in.has(dataOffset, stride * (height - 1) + lastRow))
        return refuse("pixel data ends early");
    if (rle && !plausibleSize(width, height, in.size() - dataOffset))
        return refuse("RLE data too short for its size");
    QImage image = allocateImage(int(width), int(height), rle ? QImage::Format_ARGB32 : QImage::Format_RGB32);

    if (rle) {
        bool complete = false;
        decodeRle(in, dataOffset, bpp, palette, image, complete);
        if (!complete)
            return refuse("RLE data ends early");
        return {image, QString()};
    }

    const int w = int(width);
    for (int y = 0; y < int(height); ++y) {
        const std::uint8_t *src = in.at(dataOffset + stride * (topDown ? y : height - 1 - y));
        auto *dst = reinterpret_cast<QRgb *>(image.scanLine(y));
        switch (bpp) {
        case 1:
        case 4:
        case 8: {
            const int perByte = 8 / bpp;
            const int mask = (1 << bpp) - 1;
            for (int x = 0; x < w; ++x) {
                const int shift = (perByte - 1 - x % perByte) * bpp;
                const int index = (src[x / perByte] >> shift) & mask;
                dst[x] = index < int(palette.size()) ? palette[index] : qRgb(0, 0, 0);
            }
            break;
        }
        case 24:
            for (int x = 0; x < w; ++x, src += 3)
                dst[x] = 0xff000000u | (std::uint32_t(src[2]) << 16) | (std::uint32_t(src[1]) << 8) | src[0];
            break;
        case 16:
            for (int x = 0; x < w; ++x) {
                const std::uint32_t px = src[2 * x] | (src[2 * x + 1] << 8);
                dst[x] = qRgb(red.value(px), green.value(px), blue.value(px));
            }
            break;
        case 32:
            if (compression == kRgb) {
                for (int x = 0; x < w; ++x)
                    dst[x] = 0xff000000u | (std::uint32_t(src[4 * x + 2]) << 16) |
                             (std::uint32_t(src[4 * x + 1]) << 8) | src[4 * x];
            } else {
                for (int x = 0; x < w; ++x) {
                    std::uint32_t px;
                    std::memcpy(&px, src + 4 * x, 4);
                    px = qFromLittleEndian(px);
                    dst[x] = qRgb(red.value(px), green.value(px), blue.value(px));
                }
            }
            break;
        }
    }
    return {image, QString()};
}

} // namespace pv
