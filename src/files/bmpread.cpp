// BMP decoding: 1, 4, 8, 16, 24 and 32 bits, RLE4 and RLE8, bit fields,
// bottom-up and top-down. Every pixel of the result is either decoded from
// the file or, where an RLE stream skips it, left transparent. A 16- or
// 32-bit picture whose header declares an alpha mask keeps its alpha; an
// embedded colour profile (V5 header) is applied.
#include "files/colour.h"
#include "files/decoders.h"
#include "files/formats.h"
#include "files/picture.h"
#include "surfaces/pixelmemory.h"

#include <QIODevice>
#include <QtEndian>

#include <cstdint>
#include <cstring>
#include <optional>
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

Failure<Fault> refuse(const char *why) { return failure(Fault::content(QString::fromLatin1(why))); }

// Decodes an RLE stream into the (transparent) image. False when it is
// damaged: a run or a delta reaches past the picture's edge, or the data
// ends before the end-of-bitmap code.
bool decodeRle(const Bytes &in, qint64 pos, int bpp, const std::vector<QRgb> &palette, QImage &image)
{
    const int w = image.width(), h = image.height();
    image.fill(Qt::transparent);
    qint64 x = 0, row = 0; // row counts from the bottom
    auto put = [&](int index) {
        const QRgb c = index < int(palette.size()) ? palette[index] : qRgb(0, 0, 0);
        reinterpret_cast<QRgb *>(image.scanLine(int(h - 1 - row)))[x++] = c;
    };
    auto fits = [&](qint64 count) { return row < h && x + count <= w; };
    while (in.has(pos, 2)) {
        const int count = *in.at(pos), value = *in.at(pos + 1);
        pos += 2;
        if (count > 0) {
            if (!fits(count))
                return false;
            for (int i = 0; i < count; ++i)
                put(bpp == 8 ? value : (i % 2 == 0 ? value >> 4 : value & 15));
            continue;
        }
        if (value == 0) { // end of line
            if (row >= h)
                return false;
            x = 0;
            ++row;
        } else if (value == 1) { // end of bitmap
            return true;
        } else if (value == 2) { // delta
            if (!in.has(pos, 2))
                return false;
            x += *in.at(pos);
            row += *in.at(pos + 1);
            pos += 2;
            if (x > w || row >= h)
                return false;
        } else { // absolute run of `value` pixels, padded to 16 bits
            const qint64 bytes = bpp == 8 ? value : (value + 1) / 2;
            if (!in.has(pos, bytes) || !fits(value))
                return false;
            for (int i = 0; i < value; ++i) {
                const int b = *in.at(pos + (bpp == 8 ? i : i / 2));
                put(bpp == 8 ? b : (i % 2 == 0 ? b >> 4 : b & 15));
            }
            pos += (bytes + 1) & ~qint64(1);
        }
    }
    return false;
}

struct Header {
    qint64 width = 0;
    qint64 height = 0;
    int bpp = 0;
    std::uint32_t compression = kRgb;
    bool topDown = false;
    Channel red, green, blue, alpha;
    std::vector<QRgb> palette;
    qint64 dataOffset = 0;
    std::uint32_t headerSize = 0; // tells the header's version
    std::uint32_t colorsUsed = 0; // 0: all the bit count allows
    int paletteEntry = 4;         // bytes
    qint64 profileOffset = 0; // of an embedded ICC profile, from the file's start
    qint64 profileSize = 0;
    [[nodiscard]] bool rle() const { return compression == kRle8 || compression == kRle4; }
    [[nodiscard]] qint64 stride() const { return ((width * bpp + 31) / 32) * 4; }
    // Bytes of pixel data an uncompressed picture needs after dataOffset.
    [[nodiscard]] qint64 pixelBytes() const { return stride() * (height - 1) + (width * bpp + 7) / 8; }
};

// OS/2's core header, 12 bytes: 16-bit sides, 3-byte palette entries.
Made<void> readCoreHeader(const Bytes &in, Header &hd)
{
    hd.width = in.u16(18);
    hd.height = std::int16_t(in.u16(20));
    hd.bpp = int(in.u16(24));
    hd.paletteEntry = 3;
    return {};
}

// Windows' info header, 40 bytes, and the versions that extend it (V2 to
// V5) or reuse it (OS/2's 64-byte header, whose compressions differ).
Made<void> readInfoHeader(const Bytes &in, Header &hd)
{
    hd.width = std::int32_t(in.u32(18));
    hd.height = std::int32_t(in.u32(22));
    hd.bpp = int(in.u16(28));
    hd.compression = in.u32(30);
    hd.colorsUsed = in.u32(46);
    if (hd.headerSize == 64 && hd.compression != kRgb)
        return refuse("unsupported OS/2 compression");
    return {};
}

// The colour masks by compression: fixed for plain 16 and 32 bits, read
// after the header (or in it, from V2 on) for bit fields.
Made<void> readMasks(const Bytes &in, Header &hd)
{
    const int bpp = hd.bpp;
    switch (hd.compression) {
    case kRgb:
        if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            return refuse("impossible bit count");
        if (bpp == 16)
            hd.red = Channel(0x7c00), hd.green = Channel(0x03e0), hd.blue = Channel(0x001f);
        if (bpp == 32)
            hd.red = Channel(0xff0000), hd.green = Channel(0xff00), hd.blue = Channel(0xff);
        return {};
    case kRle8:
    case kRle4:
        if (bpp != (hd.compression == kRle8 ? 8 : 4) || hd.topDown)
            return refuse("bad RLE header");
        return {};
    case kBitFields:
    case kAlphaBitFields: {
        if (bpp != 16 && bpp != 32)
            return refuse("bad bit fields");
        const qint64 maskAt = 14 + (hd.headerSize >= 52 ? 40 : hd.headerSize);
        if (!in.has(maskAt, 12))
            return refuse("truncated masks");
        hd.red = Channel(in.u32(maskAt));
        hd.green = Channel(in.u32(maskAt + 4));
        hd.blue = Channel(in.u32(maskAt + 8));
        return {};
    }
    default:
        return refuse("unsupported compression");
    }
}

// The V3, V4 and V5 headers hold an alpha mask after the colour masks, and
// so do alpha bit fields after the plain header. Without one, the fourth
// byte of a pixel is not alpha (it is often garbage). The V5 header tells
// where an embedded profile lies.
void readExtensions(const Bytes &in, Header &hd)
{
    const bool wide = hd.bpp == 16 || hd.bpp == 32;
    if (wide && (hd.headerSize >= 56 || hd.compression == kAlphaBitFields) && in.has(66, 4))
        hd.alpha = Channel(in.u32(66));
    constexpr std::uint32_t kProfileEmbedded = 0x4d424544; // 'MBED'
    if (hd.headerSize >= 124 && in.u32(70) == kProfileEmbedded) {
        hd.profileOffset = 14 + qint64(in.u32(126));
        hd.profileSize = in.u32(130);
    }
}

// The palette of 1, 4 and 8 bits: a palette cut short by the pixel data
// keeps the entries that fit.
Made<void> readPalette(const Bytes &in, Header &hd)
{
    if (hd.bpp > 8)
        return {};
    const qint64 maxColors = qint64(1) << hd.bpp;
    const qint64 colors = (hd.colorsUsed == 0 || hd.colorsUsed > maxColors) ? maxColors : hd.colorsUsed;
    qint64 at = 14 + hd.headerSize;
    if (hd.compression == kBitFields || hd.compression == kAlphaBitFields)
        at += 12;
    const qint64 available = std::min<qint64>(colors, (std::min(hd.dataOffset, in.size()) - at) / hd.paletteEntry);
    if (available < 1)
        return refuse("missing palette");
    for (qint64 i = 0; i < available; ++i) {
        const std::uint8_t *p = in.at(at + i * hd.paletteEntry);
        hd.palette.push_back(qRgb(p[2], p[1], p[0]));
    }
    return {};
}

// The pixel data's place and size, checked before allocating, so that a
// short file claiming a huge size costs nothing.
Made<void> checkPixelData(const Header &hd, qint64 fileSize)
{
    if (hd.dataOffset < 14 + hd.headerSize || hd.dataOffset >= fileSize)
        return refuse("bad pixel data offset");
    if (!hd.rle() && hd.dataOffset + hd.pixelBytes() > fileSize)
        return refuse("pixel data ends early");
    if (hd.rle() && !plausibleSize(hd.width, hd.height, fileSize - hd.dataOffset))
        return refuse("RLE data too short for its size");
    return {};
}

// Reads everything before the pixel data. `in` holds at least the start of
// the file; fileSize is the whole file's.
Made<Header> parseHeader(const Bytes &in, qint64 fileSize)
{
    if (!in.has(0, 18) || !isBmp(QByteArray::fromRawData(reinterpret_cast<const char *>(in.at(0)), 2)))
        return refuse("not a BMP file");
    Header hd;
    hd.dataOffset = in.u32(10);
    hd.headerSize = in.u32(14);
    if (!in.has(14, hd.headerSize) || hd.headerSize < 12)
        return refuse("truncated header");
    if (hd.headerSize != 12 && hd.headerSize < 40)
        return refuse("unknown header");
    if (Made<void> read = hd.headerSize == 12 ? readCoreHeader(in, hd) : readInfoHeader(in, hd); !read)
        return failure(read.reason());
    hd.topDown = hd.height < 0;
    if (hd.topDown)
        hd.height = -hd.height;
    if (hd.width < 1 || hd.height < 1)
        return refuse("empty picture");
    if (!sizeAllowed(hd.width, hd.height))
        return refuse("picture too large");
    if (Made<void> masks = readMasks(in, hd); !masks)
        return failure(masks.reason());
    readExtensions(in, hd);
    if (Made<void> palette = readPalette(in, hd); !palette)
        return failure(palette.reason());
    if (Made<void> data = checkPixelData(hd, fileSize); !data)
        return failure(data.reason());
    return hd;
}

// Converts `rows` uncompressed rows as stored in the file (from stored row
// `first` on, `stride` bytes apart) into the image. sawAlpha becomes true
// when a pixel's alpha is not 0.
// `image` holds the picture's rows from `imageTop` on.
void convertRows(const Header &hd, const std::uint8_t *data, int first, int rows, QImage &image, bool &sawAlpha,
                 int imageTop = 0)
{
    const int w = int(hd.width);
    const int bpp = hd.bpp;
    for (int r = 0; r < rows; ++r) {
        const int stored = first + r;
        const std::uint8_t *src = data + hd.stride() * r;
        auto *dst = reinterpret_cast<QRgb *>(image.scanLine((hd.topDown ? stored : int(hd.height) - 1 - stored) - imageTop));
        switch (bpp) {
        case 1:
        case 4:
        case 8: {
            const int perByte = 8 / bpp;
            const int mask = (1 << bpp) - 1;
            for (int x = 0; x < w; ++x) {
                const int shift = (perByte - 1 - x % perByte) * bpp;
                const int index = (src[x / perByte] >> shift) & mask;
                dst[x] = index < int(hd.palette.size()) ? hd.palette[index] : qRgb(0, 0, 0);
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
                const int a = hd.alpha.mask ? hd.alpha.value(px) : 255;
                sawAlpha = sawAlpha || a != 0;
                dst[x] = qRgba(hd.red.value(px), hd.green.value(px), hd.blue.value(px), a);
            }
            break;
        case 32:
            if (hd.compression == kRgb && !hd.alpha.mask) {
                for (int x = 0; x < w; ++x)
                    dst[x] = 0xff000000u | (std::uint32_t(src[4 * x + 2]) << 16) |
                             (std::uint32_t(src[4 * x + 1]) << 8) | src[4 * x];
            } else {
                for (int x = 0; x < w; ++x) {
                    std::uint32_t px;
                    std::memcpy(&px, src + 4 * x, 4);
                    px = qFromLittleEndian(px);
                    const int a = hd.alpha.mask ? hd.alpha.value(px) : 255;
                    sawAlpha = sawAlpha || a != 0;
                    dst[x] = qRgba(hd.red.value(px), hd.green.value(px), hd.blue.value(px), a);
                }
            }
            break;
        }
    }
}

// The last steps of a decoded picture: an alpha channel that is 0
// everywhere is taken as not meant (some writers declare one and leave it
// empty), and an embedded profile is applied.
QImage finish(QImage image, bool alphaDeclared, bool sawAlpha, const QByteArray &profile, const Work &work)
{
    if (alphaDeclared && !sawAlpha) {
        for (int y = 0; y < image.height(); ++y) {
            auto *px = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                px[x] |= 0xff000000u;
        }
        image.reinterpretAsFormat(QImage::Format_RGB32);
    }
    convertToSrgb(image, profile, PixelLayout::Rgb, work);
    return image;
}

// At most this much of a file is believed to be a colour profile.
constexpr qint64 kMaxProfileBytes = 4 << 20;

} // namespace

Made<QImage> decodeBmp(const QByteArray &bytes, const Work &work)
{
    const Bytes in(bytes);
    const Made<Header> hd = parseHeader(in, in.size());
    if (!hd)
        return failure(hd.reason());
    const bool alpha = hd->rle() || hd->alpha.mask;
    QImage image = allocateImage(int(hd->width), int(hd->height), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const QByteArray profile =
        hd->profileSize <= kMaxProfileBytes ? bytes.mid(hd->profileOffset, hd->profileSize) : QByteArray();
    if (hd->rle()) {
        if (!decodeRle(in, hd->dataOffset, hd->bpp, hd->palette, image))
            return refuse("RLE data damaged or cut short");
        return finish(image, false, true, profile, work);
    }
    // Rows are read up to their last pixel, never into the padding, which
    // the last row may lack.
    bool sawAlpha = false;
    convertRows(*hd, in.at(hd->dataOffset), 0, int(hd->height), image, sawAlpha);
    return finish(image, hd->alpha.mask, sawAlpha, profile, work);
}

std::optional<Made<Decoded>> decodeBmpStream(QIODevice &file, qint64 fileSize, const Work &work,
                                             const std::function<DecodePlan(QSize)> &plan)
{
    // Everything up to the pixel data; palettes are small.
    QByteArray prefix = file.read(std::min<qint64>(fileSize, 1 << 16));
    if (prefix.size() >= 14) {
        const qint64 dataOffset = Bytes(prefix).u32(10);
        if (dataOffset > prefix.size() && dataOffset <= std::min<qint64>(fileSize, 1 << 22))
            prefix += file.read(dataOffset - prefix.size());
    }
    const Bytes in(prefix);
    const Made<Header> hd = parseHeader(in, fileSize);
    if (!hd)
        return failure(hd.reason());
    if (hd->rle() || hd->dataOffset > prefix.size())
        return std::nullopt; // decoded from the whole file instead
    const int w = int(hd->width), h = int(hd->height);
    // Only the rows asked for are read, unless an alpha mask is declared:
    // whether any pixel uses it decides how all of them open.
    int top = 0, bottom = h; // rows of the upright picture
    if (plan && !hd->alpha.mask) {
        const QRect wanted = plan(QSize(w, h)).region.intersected(QRect(0, 0, w, h));
        if (!wanted.isEmpty())
            top = wanted.top(), bottom = wanted.bottom() + 1;
    }
    QImage image = allocateImage(w, bottom - top, hd->alpha.mask ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const Prefault warm(image, work);
    // The stored rows that hold them: bottom-up unless the header says not.
    const int firstStored = hd->topDown ? top : h - bottom, endStored = hd->topDown ? bottom : h - top;
    const qint64 stride = hd->stride();
    if (!file.seek(hd->dataOffset + stride * firstStored))
        return refuse("cannot read the pixel data");
    // A megabyte of rows at a time, the file's last row possibly without
    // padding.
    const int rowsPerChunk = int(std::max<qint64>(1, (1 << 20) / stride));
    std::vector<std::uint8_t> chunk(size_t(stride) * size_t(std::min(rowsPerChunk, endStored - firstStored)), 0);
    bool sawAlpha = false;
    for (int first = firstStored; first < endStored; first += rowsPerChunk) {
        const int rows = std::min(rowsPerChunk, endStored - first);
        const qint64 want = first + rows == h ? stride * (rows - 1) + (hd->width * hd->bpp + 7) / 8 : stride * rows;
        qint64 got = 0;
        while (got < want) {
            const qint64 n = file.read(reinterpret_cast<char *>(chunk.data()) + got, want - got);
            if (n <= 0)
                return refuse("pixel data ends early");
            got += n;
        }
        convertRows(*hd, chunk.data(), first, rows, image, sawAlpha, top);
    }
    QByteArray profile;
    if (hd->profileSize > 0 && hd->profileSize <= kMaxProfileBytes && hd->profileOffset + hd->profileSize <= fileSize &&
        file.seek(hd->profileOffset))
        profile = file.read(hd->profileSize);
    return Decoded{finish(image, hd->alpha.mask, sawAlpha, profile, work),
                   top == 0 && bottom == h ? QRect() : QRect(0, top, w, bottom - top), QSize(w, h)};
}

} // namespace pv
