// Reading the boxes of a HEIF file's meta box, bounds-checked.
#include "files/heifmeta.h"

#include <algorithm>

namespace pv::heif {

namespace {

Failure<Fault> refuse(const QString &why) { return failure(Fault::content(why)); }

} // namespace

// The boxes that fill [from, to) of `b`, or nothing if one overruns it.
std::optional<std::vector<Box>> childBoxes(const QByteArray &b, qsizetype from, qsizetype to)
{
    std::vector<Box> boxes;
    while (from < to) {
        Cursor c(b, from, to);
        quint64 size = c.u32();
        const quint32 type = c.u32();
        if (size == 1)
            size = c.read(8);
        else if (size == 0)
            size = quint64(to - from);
        if (!c.ok() || size < quint64(c.at() - from) || size > quint64(to - from))
            return std::nullopt;
        boxes.push_back({type, c.at(), from + qsizetype(size)});
        from += qsizetype(size);
    }
    return boxes;
}

namespace {

// Only the first of each of these boxes counts for a decoder; more than
// one would let it see another structure than this check.
bool once(std::vector<quint32> &seen, quint32 type)
{
    if (std::find(seen.begin(), seen.end(), type) != seen.end())
        return false;
    seen.push_back(type);
    return true;
}

std::optional<QString> readPitm(Meta &m, const Box &box)
{
    Cursor c(m.bytes, box.content, box.end);
    const quint32 version = c.u8();
    c.read(3);
    const quint32 id = version == 0 ? c.u16() : c.u32();
    if (!c.ok())
        return QStringLiteral("the pitm box is too short");
    m.primary = id;
    return std::nullopt;
}

std::optional<QString> readIinf(Meta &m, const Box &box)
{
    Cursor c(m.bytes, box.content, box.end);
    const quint32 version = c.u8();
    c.read(3);
    const quint32 count = version == 0 ? c.u16() : c.u32();
    if (!c.ok())
        return QStringLiteral("the iinf box is too short");
    if (count > quint32(kMaxHeifItems))
        return QStringLiteral("more than %1 items").arg(kMaxHeifItems);
    const auto entries = childBoxes(m.bytes, c.at(), box.end);
    if (!entries || entries->size() != count)
        return QStringLiteral("the iinf box is damaged");
    for (const Box &e : *entries) {
        Cursor f(m.bytes, e.content, e.end);
        const quint32 v = f.u8();
        f.read(3);
        if (e.type != fcc("infe") || v < 2)
            continue; // no item type: not a picture
        const quint32 id = v == 2 ? f.u16() : f.u32();
        f.u16(); // protection index
        const quint32 type = f.u32();
        if (!f.ok())
            return QStringLiteral("an infe box is too short");
        Item &item = m.items[id];
        if (item.listed)
            return QStringLiteral("item %1 is listed twice").arg(id);
        item.listed = true;
        item.type = type;
    }
    return std::nullopt;
}

constexpr size_t kKeptExtents = 16;

std::optional<QString> readIloc(Meta &m, const Box &box)
{
    Cursor c(m.bytes, box.content, box.end);
    const quint32 version = c.u8();
    c.read(3);
    const quint32 sizes = c.u16();
    const int offsetSize = int(sizes >> 12), lengthSize = int(sizes >> 8 & 15), baseSize = int(sizes >> 4 & 15);
    const int indexSize = version == 1 || version == 2 ? int(sizes & 15) : 0;
    const quint32 count = version < 2 ? c.u16() : c.u32();
    for (const int s : {offsetSize, lengthSize, baseSize, indexSize})
        if (s != 0 && s != 4 && s != 8)
            return QStringLiteral("the iloc box is damaged");
    if (version > 2 || count > quint32(kMaxHeifItems))
        return QStringLiteral("the iloc box is damaged");
    for (quint32 i = 0; i < count && c.ok(); ++i) {
        Item &item = m.items[version < 2 ? c.u16() : c.u32()];
        item.construction = version == 1 || version == 2 ? int(c.u16() & 15) : 0;
        c.u16(); // data reference index
        item.baseOffset = c.read(baseSize);
        const quint32 extents = c.u16();
        item.extents.clear();
        // Extents of no bytes at all say nothing; only a grid's first bytes
        // are read, from the first extents.
        for (quint32 e = 0; e < extents && c.ok() && indexSize + offsetSize + lengthSize > 0; ++e) {
            c.read(indexSize);
            const quint64 offset = c.read(offsetSize);
            const quint64 length = c.read(lengthSize);
            if (item.extents.size() < kKeptExtents)
                item.extents.push_back({offset, length});
        }
    }
    return c.ok() ? std::nullopt : std::optional(QStringLiteral("the iloc box is too short"));
}

std::optional<QString> readIref(Meta &m, const Box &box)
{
    Cursor c(m.bytes, box.content, box.end);
    const quint32 version = c.u8();
    c.read(3);
    const auto refs = childBoxes(m.bytes, c.at(), box.end);
    if (!c.ok() || !refs)
        return QStringLiteral("the iref box is damaged");
    // Each reference names an item: as many as there may be items, so that
    // the items they name stay bounded.
    if (refs->size() > size_t(kMaxHeifItems))
        return QStringLiteral("more than %1 references").arg(kMaxHeifItems);
    size_t referrers = 0; // by auxl and thmb
    for (const Box &r : *refs) {
        Cursor f(m.bytes, r.content, r.end);
        const quint32 from = version == 0 ? f.u16() : f.u32();
        const quint32 count = f.u16();
        std::vector<quint32> to;
        for (quint32 i = 0; i < count && f.ok(); ++i)
            to.push_back(version == 0 ? f.u16() : f.u32());
        if (!f.ok())
            return QStringLiteral("the iref box is too short");
        if (r.type == fcc("dimg")) {
            if (!m.items[from].derivedFrom.empty())
                return QStringLiteral("item %1 is derived twice").arg(from);
            m.items[from].derivedFrom = std::move(to);
        } else if (r.type == fcc("auxl") || r.type == fcc("thmb")) {
            if ((referrers += to.size()) > size_t(kMaxHeifItems))
                return QStringLiteral("more than %1 references").arg(kMaxHeifItems);
            for (const quint32 master : to)
                (r.type == fcc("auxl") ? m.items[master].auxiliaries : m.items[master].thumbnails).push_back(from);
        }
    }
    return std::nullopt;
}

std::optional<QString> readIpma(Meta &m, const Box &box)
{
    Cursor c(m.bytes, box.content, box.end);
    const quint32 version = c.u8();
    const quint32 flags = quint32(c.read(3));
    const quint32 count = c.u32();
    if (count > quint32(kMaxHeifItems))
        return QStringLiteral("more than %1 items").arg(kMaxHeifItems);
    for (quint32 i = 0; i < count && c.ok(); ++i) {
        Item &item = m.items[version < 1 ? c.u16() : c.u32()];
        if (item.hasProperties)
            return QStringLiteral("an item's properties are listed twice");
        item.hasProperties = true;
        const quint32 n = c.u8();
        for (quint32 j = 0; j < n && c.ok(); ++j) {
            const int index = flags & 1 ? int(c.u16() & 0x7fff) : int(c.u8() & 0x7f);
            if (index > 0)
                item.properties.push_back(index - 1);
        }
    }
    return c.ok() ? std::nullopt : std::optional(QStringLiteral("the ipma box is too short"));
}

std::optional<QString> readIprp(Meta &m, const Box &box)
{
    const auto children = childBoxes(m.bytes, box.content, box.end);
    if (!children)
        return QStringLiteral("the iprp box is damaged");
    std::vector<quint32> seen;
    for (const Box &b : *children) {
        if ((b.type == fcc("ipco") || b.type == fcc("ipma")) && !once(seen, b.type))
            return QStringLiteral("more than one %1 box").arg(typeName(b.type));
        if (b.type == fcc("ipco")) {
            const auto properties = childBoxes(m.bytes, b.content, b.end);
            if (!properties)
                return QStringLiteral("the ipco box is damaged");
            m.properties = *properties;
        } else if (b.type == fcc("ipma")) {
            if (auto why = readIpma(m, b))
                return why;
        }
    }
    return std::nullopt;
}

std::optional<QString> readBoxes(Meta &m)
{
    const auto children = childBoxes(m.bytes, 4, m.bytes.size());
    if (m.bytes.size() < 4 || !children)
        return QStringLiteral("the meta box is damaged");
    std::vector<quint32> seen;
    for (const Box &b : *children) {
        std::optional<QString> why;
        const bool structural = b.type == fcc("pitm") || b.type == fcc("iinf") || b.type == fcc("iloc") ||
                                b.type == fcc("iref") || b.type == fcc("iprp") || b.type == fcc("idat");
        if (structural && !once(seen, b.type))
            return QStringLiteral("more than one %1 box").arg(typeName(b.type));
        if (b.type == fcc("pitm"))
            why = readPitm(m, b);
        else if (b.type == fcc("iinf"))
            why = readIinf(m, b);
        else if (b.type == fcc("iloc"))
            why = readIloc(m, b);
        else if (b.type == fcc("iref"))
            why = readIref(m, b);
        else if (b.type == fcc("iprp"))
            why = readIprp(m, b);
        else if (b.type == fcc("idat"))
            m.idat = b;
        if (why)
            return why;
    }
    if (!m.primary)
        return QStringLiteral("the primary item (pitm) is missing");
    for (const Item &item : std::as_const(m.items))
        for (const int i : item.properties)
            if (size_t(i) >= m.properties.size())
                return QStringLiteral("an item has a property that does not exist");
    return std::nullopt;
}

// The meta box's content, from the top-level boxes of the file.
Made<QByteArray> metaContent(qint64 fileSize, const HeifReadAt &read)
{
    qint64 at = 0;
    for (int boxes = 0; at + 8 <= fileSize && boxes < 1000; ++boxes) {
        const QByteArray head = read(at, 16);
        Cursor c(head, 0, head.size());
        quint64 size = c.u32();
        const quint32 type = c.u32();
        if (size == 1)
            size = c.read(8);
        else if (size == 0)
            size = quint64(fileSize - at);
        if (!c.ok() || size < quint64(c.at()) || size > quint64(fileSize - at))
            break;
        if (type == fcc("meta")) {
            if (size - quint64(c.at()) > quint64(kMaxHeifMetaBytes))
                return refuse(QStringLiteral("the meta box is larger than %1 MiB").arg(kMaxHeifMetaBytes >> 20));
            const qint64 length = qint64(size) - c.at();
            QByteArray content = read(at + c.at(), length);
            if (content.size() != length)
                break;
            return content;
        }
        at += qint64(size);
    }
    return refuse(QStringLiteral("the meta box is missing or damaged"));
}

} // namespace

namespace {

// Bits of an RBSP, most significant first; past the end it reads zeros and
// fails.
class Bits {
public:
    explicit Bits(QByteArray rbsp) : m_b(std::move(rbsp)) {}
    quint32 u(int n)
    {
        quint32 v = 0;
        for (int i = 0; i < n; ++i) {
            if (m_at >= qint64(m_b.size()) * 8) {
                m_ok = false;
                return 0;
            }
            v = v << 1 | ((uchar(m_b[qsizetype(m_at / 8)]) >> (7 - m_at % 8)) & 1);
            ++m_at;
        }
        return v;
    }
    quint32 ue()
    {
        int zeros = 0;
        while (u(1) == 0 && m_ok)
            if (++zeros > 31) {
                m_ok = false;
                return 0;
            }
        return quint32((quint64(1) << zeros) - 1 + u(zeros));
    }
    [[nodiscard]] bool ok() const { return m_ok; }

private:
    QByteArray m_b;
    qint64 m_at = 0;
    bool m_ok = true;
};

// The picture size an HEVC sequence parameter set NAL unit codes.
std::optional<QSize> spsSize(const QByteArray &nal)
{
    QByteArray rbsp; // without the emulation prevention bytes (00 00 03)
    int zeros = 0;
    for (const char byte : nal) {
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        rbsp += byte;
    }
    Bits b(rbsp);
    b.u(16 + 4); // NAL header, video parameter set id
    const int subLayers = int(b.u(3));
    b.u(1 + 96); // temporal id nesting, general profile, tier and level
    int subProfiles = 0, subLevels = 0;
    for (int i = 0; i < subLayers; ++i) {
        subProfiles += int(b.u(1));
        subLevels += int(b.u(1));
    }
    if (subLayers > 0)
        b.u(2 * (8 - subLayers));
    b.u(88 * subProfiles);
    b.u(8 * subLevels);
    b.ue(); // sequence parameter set id
    int chroma = int(b.ue());
    if (chroma == 3 && b.u(1))
        chroma = 0; // colour planes coded apart
    const qint64 w = b.ue(), h = b.ue();
    qint64 crop[4] = {0, 0, 0, 0};
    if (b.u(1))
        for (qint64 &c : crop)
            c = b.ue();
    const int subW = chroma == 1 || chroma == 2 ? 2 : 1, subH = chroma == 1 ? 2 : 1;
    const qint64 width = w - subW * (crop[0] + crop[1]), height = h - subH * (crop[2] + crop[3]);
    if (!b.ok() || width < 1 || height < 1 || width > 65535 || height > 65535)
        return std::nullopt;
    return QSize(int(width), int(height));
}

} // namespace

std::optional<QSize> hevcCodedSize(const QByteArray &b, const Box &hvcC)
{
    Cursor c(b, hvcC.content, hvcC.end);
    c.skip(22);
    const quint32 arrays = c.u8();
    for (quint32 a = 0; a < arrays && c.ok(); ++a) {
        const quint32 type = c.u8() & 0x3f;
        const quint32 units = c.u16();
        for (quint32 u = 0; u < units && c.ok(); ++u) {
            const quint32 length = c.u16();
            const qsizetype at = c.at();
            c.skip(length);
            if (c.ok() && type == 33)
                return spsSize(b.mid(at, length));
        }
    }
    return std::nullopt;
}

Made<Meta> readMeta(qint64 fileSize, const HeifReadAt &read)
{
    Made<QByteArray> content = metaContent(fileSize, read);
    if (!content)
        return failure(content.reason());
    Meta meta;
    meta.bytes = std::move(content).value();
    if (const std::optional<QString> why = readBoxes(meta))
        return refuse(*why);
    return meta;
}

} // namespace pv::heif
