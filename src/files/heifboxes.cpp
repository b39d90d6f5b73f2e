// Walking from the primary item through its references as a decoder would,
// counting and checking before any decoder does.
#include "files/heifboxes.h"
#include "files/heifmeta.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace pv {

namespace {

using namespace heif;

Failure<Fault> refuse(const QString &why) { return failure(Fault::content(why)); }

// What a decoder makes of one item.
struct Image {
    quint32 type = 0;
    QSize coded;       // before its own transformations
    QSize size;        // after them
    int bits = 0;      // of its coded pictures
    int pixiBits = 0;  // as its pixi box tells; 0 without one
    int chroma = -1;   // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int alphaBits = 0; // 0 without alpha
    qint64 tilePixels = 0; // of one of its coded pictures
};

// The side a clean aperture leaves of `side`, as libheif crops it: the
// left edge rounded down, the width rounded, both kept within the picture.
Made<int> clapSide(int side, qint32 n, qint32 d, qint32 offsetN, qint32 offsetD)
{
    if (d <= 0 || offsetD <= 0 || n <= 0)
        return refuse(QStringLiteral("the clean aperture (clap) is invalid"));
    const long double width = static_cast<long double>(n) / d;
    const long double offset = static_cast<long double>(offsetN) / offsetD;
    const qint64 left = qint64(std::floor(offset + (side - 1) / 2.0L - (width - 1) / 2.0L));
    const qint64 right = std::min<qint64>(left + qint64(std::floor(width - 1 + 0.5L)), side - 1);
    const qint64 from = std::max<qint64>(left, 0);
    if (right < from)
        return refuse(QStringLiteral("the clean aperture (clap) is empty"));
    return int(right - from + 1);
}

// libheif's decode at its peak holds the YCbCr planes, the RGB it converts
// them to (deep samples through 16-bit planes first) and the 32-bit picture
// made of it, with a byte a pixel of slack. Measured with libheif 1.15 and
// libde265: 8.3 bytes a pixel for 8-bit 4:2:0, 9.5 for 4:4:4 and 19 to 20
// for 10-bit 4:2:0, against 9.5, 11 and 20 here.
qint64 decodeBytes(const Image &image, int coded)
{
    const double sample = image.bits > 8 ? 2 : 1;
    const double alpha = image.alphaBits > 0 ? 1 : 0;
    const double ycbcr = (image.chroma == 0 ? 1 : image.chroma == 1 ? 1.5 : image.chroma == 2 ? 2 : 3) + alpha;
    const double rgb = (3 + alpha) * sample;
    const double perPixel = (ycbcr + rgb) * sample + 5;
    // A decoder's state, and for a grid's tiles up to 8 more decoded at
    // once, each with its state.
    const qint64 decoder = qint64(4) << 20;
    const qint64 tiles = std::min(coded - 1, 8) * ((qint64(2) << 20) + image.tilePixels * 8);
    return qint64(std::ceil(perPixel * image.coded.width() * image.coded.height())) + decoder + tiles;
}

class Walk {
public:
    Walk(const Meta &meta, qint64 fileSize, const HeifReadAt &read) : m(meta), m_fileSize(fileSize), m_read(read) {}
    Made<Image> image(quint32 id, int nesting, bool asAlpha);
    [[nodiscard]] int codedPictures() const { return m_coded; }

private:
    std::optional<Box> property(const Item &item, quint32 type) const;
    Made<Image> coded(const Item &item);
    Made<Image> identity(const Item &item, int nesting);
    Made<Image> grid(const Item &item, int nesting);
    Made<Image> tiles(const Item &item, int nesting);
    Made<QSize> transformed(const Item &item, QSize size) const;
    Made<int> alphaBits(const Item &item, QSize coded, int nesting);
    bool isAlpha(quint32 id) const;
    Made<QByteArray> data(const Item &item, qint64 most) const;

    const Meta &m;
    qint64 m_fileSize;
    const HeifReadAt &m_read;
    int m_coded = 0;
};

std::optional<Box> Walk::property(const Item &item, quint32 type) const
{
    for (const int i : item.properties)
        if (m.properties[size_t(i)].type == type)
            return m.properties[size_t(i)];
    return std::nullopt;
}

Made<Image> Walk::image(quint32 id, int nesting, bool asAlpha)
{
    if (nesting > kMaxHeifNesting)
        return refuse(QStringLiteral("derived images nested more than %1 deep").arg(kMaxHeifNesting));
    const auto found = m.items.constFind(id);
    if (found == m.items.constEnd() || !found->listed)
        return refuse(QStringLiteral("item %1 is referred to but missing").arg(id));
    const Item &item = *found;
    Made<Image> made = refuse(QStringLiteral("pictures of type %1 are not supported").arg(typeName(item.type)));
    if (item.type == fcc("iovl"))
        return refuse(QStringLiteral("overlay images are not supported"));
    if (item.type == fcc("hvc1") || item.type == fcc("av01"))
        made = coded(item);
    else if (item.type == fcc("iden"))
        made = identity(item, nesting);
    else if (item.type == fcc("grid"))
        made = grid(item, nesting);
    if (!made)
        return made;
    Image image = std::move(made).value();
    image.type = item.type;
    const Made<QSize> size = transformed(item, image.coded);
    if (!size)
        return failure(size.reason());
    image.size = size.value();
    if (!asAlpha) {
        const Made<int> alpha = alphaBits(item, image.coded, nesting);
        if (!alpha)
            return failure(alpha.reason());
        image.alphaBits = alpha.value();
    }
    return image;
}

Made<Image> Walk::coded(const Item &item)
{
    if (++m_coded > kMaxHeifTiles)
        return refuse(QStringLiteral("more than %1 coded pictures").arg(kMaxHeifTiles));
    Image image;
    const std::optional<Box> ispe = property(item, fcc("ispe"));
    if (!ispe)
        return refuse(QStringLiteral("the picture size (ispe) is missing"));
    Cursor size(m.bytes, ispe->content + 4, ispe->end);
    const quint32 w = size.u32(), h = size.u32();
    if (!size.ok() || w < 1 || h < 1 || w > 65535 || h > 65535)
        return refuse(QStringLiteral("the picture size (ispe) is invalid"));
    image.coded = QSize(int(w), int(h));
    image.tilePixels = qint64(w) * h;
    const bool hevc = item.type == fcc("hvc1");
    const std::optional<Box> config = property(item, hevc ? fcc("hvcC") : fcc("av1C"));
    if (!config)
        return refuse(QStringLiteral("the coding configuration is missing"));
    Cursor c(m.bytes, config->content, config->end);
    if (hevc) {
        if (const std::optional<QSize> codedSize = hevcCodedSize(m.bytes, *config))
            image.coded = *codedSize;
        c.skip(16);
        image.chroma = int(c.u8() & 3);
        image.bits = int(c.u8() & 7) + 8;
    } else {
        c.skip(2);
        const quint32 b = c.u8();
        image.bits = b & 0x40 ? (b & 0x20 ? 12 : 10) : 8;
        image.chroma = b & 0x10 ? 0 : (b & 0x08 ? (b & 0x04 ? 1 : 2) : 3);
    }
    if (!c.ok())
        return refuse(QStringLiteral("the coding configuration is too short"));
    if (const std::optional<Box> pixi = property(item, fcc("pixi"))) {
        Cursor p(m.bytes, pixi->content + 4, pixi->end);
        image.pixiBits = p.u8() > 0 ? int(p.u8()) : 0;
    }
    return image;
}

Made<Image> Walk::identity(const Item &item, int nesting)
{
    if (item.derivedFrom.size() != 1)
        return refuse(QStringLiteral("an identity item refers to %1 pictures").arg(item.derivedFrom.size()));
    Made<Image> source = image(item.derivedFrom.front(), nesting + 1, false);
    if (!source)
        return source;
    Image image = std::move(source).value();
    image.coded = image.size;
    return image;
}

Made<Image> Walk::grid(const Item &item, int nesting)
{
    const Made<QByteArray> bytes = data(item, 12);
    if (!bytes)
        return failure(bytes.reason());
    Cursor c(bytes.value(), 0, bytes->size());
    c.u8(); // version
    const bool wide = c.u8() & 1;
    const int rows = int(c.u8()) + 1, columns = int(c.u8()) + 1;
    const quint32 w = wide ? c.u32() : c.u16(), h = wide ? c.u32() : c.u16();
    if (!c.ok() || w < 1 || h < 1)
        return refuse(QStringLiteral("the grid's description is damaged"));
    if (w > quint32(kMaxHeifGridSide) || h > quint32(kMaxHeifGridSide))
        return refuse(QStringLiteral("grids wider or taller than %1 pixels are not decoded (libheif's limit)")
                          .arg(kMaxHeifGridSide));
    if (rows * columns > kMaxHeifTiles)
        return refuse(QStringLiteral("a grid of more than %1 tiles").arg(kMaxHeifTiles));
    if (item.derivedFrom.size() != size_t(rows) * size_t(columns))
        return refuse(QStringLiteral("a grid of %1 x %2 tiles refers to %3").arg(columns).arg(rows).arg(item.derivedFrom.size()));
    Made<Image> tile = tiles(item, nesting);
    if (!tile)
        return tile;
    const QSize t = tile->size;
    if (qint64(columns) * t.width() < w || qint64(rows) * t.height() < h)
        return refuse(QStringLiteral("the grid's tiles do not cover its size of %1 x %2").arg(w).arg(h));
    if (qint64(columns - 1) * t.width() >= w || qint64(rows - 1) * t.height() >= h)
        return refuse(QStringLiteral("the grid has tiles outside its size of %1 x %2").arg(w).arg(h));
    if ((columns > 1 && t.width() < kMinHeifTileSide) || (rows > 1 && t.height() < kMinHeifTileSide))
        return refuse(QStringLiteral("grid tiles smaller than %1 pixels a side").arg(kMinHeifTileSide));
    Image image = std::move(tile).value();
    image.coded = QSize(int(w), int(h));
    return image;
}

// The first of a grid's tiles, once all are found alike.
Made<Image> Walk::tiles(const Item &item, int nesting)
{
    std::optional<Image> first;
    for (const quint32 id : item.derivedFrom) {
        const Made<Image> tile = image(id, nesting + 1, false);
        if (!tile)
            return tile;
        if (tile->type != fcc("hvc1") && tile->type != fcc("av01"))
            return refuse(QStringLiteral("a grid tile is not a coded picture"));
        if (!first) {
            first = tile.value();
            continue;
        }
        if (tile->size != first->size)
            return refuse(QStringLiteral("grid tiles differ in size"));
        if (tile->bits != first->bits || tile->pixiBits != first->pixiBits)
            return refuse(QStringLiteral("grid tiles differ in bit depth"));
        if (tile->chroma != first->chroma)
            return refuse(QStringLiteral("grid tiles differ in chroma"));
        if (tile->alphaBits != first->alphaBits)
            return refuse(QStringLiteral("grid tiles differ in alpha"));
    }
    return *first;
}

// `size` after the item's rotations and crops, in the order it lists them.
Made<QSize> Walk::transformed(const Item &item, QSize size) const
{
    for (const int i : item.properties) {
        const Box &p = m.properties[size_t(i)];
        Cursor c(m.bytes, p.content, p.end);
        if (p.type == fcc("irot")) {
            const quint32 angle = c.u8() & 3;
            if (angle & 1)
                size.transpose();
        } else if (p.type == fcc("clap")) {
            qint32 v[8];
            for (qint32 &x : v)
                x = qint32(c.u32());
            if (!c.ok())
                return refuse(QStringLiteral("the clean aperture (clap) is too short"));
            const Made<int> w = clapSide(size.width(), v[0], v[1], v[4], v[5]);
            const Made<int> h = clapSide(size.height(), v[2], v[3], v[6], v[7]);
            if (!w || !h)
                return failure((w ? h : w).reason());
            size = QSize(w.value(), h.value());
        }
        if (!c.ok())
            return refuse(QStringLiteral("a %1 box is too short").arg(typeName(p.type)));
    }
    return size;
}

bool Walk::isAlpha(quint32 id) const
{
    const auto found = m.items.constFind(id);
    if (found == m.items.constEnd())
        return false;
    const std::optional<Box> auxC = property(*found, fcc("auxC"));
    if (!auxC || auxC->end - auxC->content < 4)
        return false;
    const QByteArray urn = m.bytes.mid(auxC->content + 4, auxC->end - auxC->content - 4);
    const QByteArray name = urn.left(urn.indexOf('\0'));
    return name == "urn:mpeg:hevc:2015:auxid:1" || name == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
}

// The bits of the item's alpha picture, 0 without one.
Made<int> Walk::alphaBits(const Item &item, QSize coded, int nesting)
{
    std::optional<quint32> alpha;
    for (const quint32 id : item.auxiliaries)
        if (isAlpha(id)) {
            if (alpha)
                return refuse(QStringLiteral("a picture has more than one alpha picture"));
            alpha = id;
        }
    if (!alpha)
        return 0;
    const Made<Image> a = image(*alpha, nesting, true);
    if (!a)
        return failure(a.reason());
    if (a->coded != coded)
        return refuse(QStringLiteral("the alpha picture's coded size differs from its picture's"));
    return a->bits;
}

// Up to `most` bytes of the item's data.
Made<QByteArray> Walk::data(const Item &item, qint64 most) const
{
    QByteArray out;
    for (const Extent &e : item.extents) {
        if (out.size() >= most)
            break;
        const quint64 offset = item.baseOffset + e.offset;
        if (item.construction == 0) {
            if (offset < item.baseOffset || offset >= quint64(m_fileSize))
                return refuse(QStringLiteral("an item's data lie outside the file"));
            const qint64 length = e.length == 0 ? m_fileSize - qint64(offset) : qint64(std::min<quint64>(e.length, quint64(most)));
            out += m_read(qint64(offset), std::min<qint64>(length, most - out.size()));
        } else if (item.construction == 1 && m.idat) {
            const quint64 size = quint64(m.idat->end - m.idat->content);
            if (offset < item.baseOffset || offset >= size)
                return refuse(QStringLiteral("an item's data lie outside the idat box"));
            const quint64 length = e.length == 0 ? size - offset : std::min(e.length, size - offset);
            out += m.bytes.mid(m.idat->content + qsizetype(offset), qsizetype(std::min<quint64>(length, quint64(most - out.size()))));
        } else {
            return refuse(QStringLiteral("an item's data are stored in a way not supported"));
        }
    }
    if (out.isEmpty())
        return refuse(QStringLiteral("an item's data are missing"));
    return out;
}

} // namespace

bool heifShowsWhole(QSize part, QSize whole)
{
    if (part.isEmpty() || whole.isEmpty() || part.width() > whole.width() || part.height() > whole.height())
        return false;
    // |pw/ph - ww/wh| within a pixel of either side: the cross products
    // differ by at most the longer side of the whole.
    const qint64 cross = qint64(part.width()) * whole.height() - qint64(part.height()) * whole.width();
    return std::abs(cross) <= std::max(whole.width(), whole.height());
}

std::optional<HeifThumbnail> heifThumbnailFor(const HeifStructure &structure, QSize least)
{
    std::optional<HeifThumbnail> best;
    for (const HeifThumbnail &t : structure.thumbnails)
        if (t.size.width() >= least.width() && t.size.height() >= least.height() &&
            (!best || qint64(t.size.width()) * t.size.height() < qint64(best->size.width()) * best->size.height()))
            best = t;
    return best;
}

Made<HeifStructure> heifStructure(qint64 fileSize, const HeifReadAt &read)
{
    const Made<Meta> meta = readMeta(fileSize, read);
    if (!meta)
        return failure(meta.reason());
    Walk walk(meta.value(), fileSize, read);
    const Made<Image> primary = walk.image(*meta->primary, 0, false);
    if (!primary)
        return failure(primary.reason());
    const int coded = walk.codedPictures();
    HeifStructure structure{primary->size, coded, decodeBytes(primary.value(), coded), {}};
    const std::vector<quint32> &thumbnails = meta->items.value(*meta->primary).thumbnails;
    for (size_t i = 0; i < thumbnails.size() && i < size_t(kMaxHeifThumbnails); ++i) {
        Walk own(meta.value(), fileSize, read);
        const Made<Image> t = own.image(thumbnails[i], 0, false);
        if (!t || !heifShowsWhole(t->size, structure.size))
            continue;
        const qint64 bytes = decodeBytes(t.value(), own.codedPictures());
        if (bytes <= structure.decodeBytes)
            structure.thumbnails.push_back({thumbnails[i], t->size, bytes});
    }
    return structure;
}

Made<HeifStructure> heifStructure(const QByteArray &file)
{
    return heifStructure(file.size(), [&file](qint64 offset, qint64 length) {
        if (offset < 0 || offset >= file.size() || length <= 0)
            return QByteArray();
        const qint64 n = std::min<qint64>(length, file.size() - offset);
        return QByteArray::fromRawData(file.constData() + offset, qsizetype(n));
    });
}

} // namespace pv
