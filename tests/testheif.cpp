// HEIF files taken apart into their items and put together again, to craft
// structures over pictures libheif's encoder made.
#include "testimages.h"

#include <QRegularExpression>
#include <QtEndian>

namespace testimages {

namespace {

QByteArray be(quint64 v, int bytes)
{
    QByteArray out(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        out[bytes - 1 - i] = char(v >> (8 * i));
    return out;
}

quint32 readBe(const QByteArray &b, qsizetype at, int bytes)
{
    quint32 v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | uchar(b[at + i]);
    return v;
}

struct Child {
    QByteArray type;
    qsizetype content, end;
};

// The boxes in [from, to) of a well-formed file.
QList<Child> children(const QByteArray &b, qsizetype from, qsizetype to)
{
    QList<Child> out;
    while (from + 8 <= to) {
        const qsizetype size = readBe(b, from, 4);
        if (size < 8 || from + size > to)
            break;
        out.append({b.mid(from + 4, 4), from + 8, from + size});
        from += size;
    }
    return out;
}

Child find(const QList<Child> &boxes, const char *type)
{
    for (const Child &c : boxes)
        if (c.type == type)
            return c;
    return {QByteArray(), 0, 0};
}

HeifItem &itemOf(HeifParts &parts, quint32 id)
{
    for (HeifItem &i : parts.items)
        if (i.id == id)
            return i;
    parts.items.append(HeifItem{id, {}, {}, {}, {}, {}});
    return parts.items.last();
}

void readIloc(const QByteArray &b, const Child &iloc, HeifParts &parts)
{
    const int version = uchar(b[iloc.content]);
    const int sizes = int(readBe(b, iloc.content + 4, 2));
    const int offsetSize = sizes >> 12, lengthSize = sizes >> 8 & 15, baseSize = sizes >> 4 & 15;
    qsizetype at = iloc.content + 6;
    const quint32 count = readBe(b, at, 2);
    at += 2;
    for (quint32 i = 0; i < count; ++i) {
        HeifItem &item = itemOf(parts, readBe(b, at, 2));
        at += 2 + (version == 1 ? 2 : 0) + 2;
        const quint32 base = baseSize ? readBe(b, at, baseSize) : 0;
        at += baseSize;
        const quint32 extents = readBe(b, at, 2);
        at += 2;
        for (quint32 e = 0; e < extents; ++e) {
            const quint32 offset = readBe(b, at, offsetSize), length = readBe(b, at + offsetSize, lengthSize);
            at += offsetSize + lengthSize;
            item.data += b.mid(base + offset, length);
        }
    }
}

void readIprp(const QByteArray &b, const Child &iprp, HeifParts &parts)
{
    const QList<Child> inside = children(b, iprp.content, iprp.end);
    const Child ipco = find(inside, "ipco"), ipma = find(inside, "ipma");
    QList<QByteArray> properties;
    for (const Child &p : children(b, ipco.content, ipco.end))
        properties.append(b.mid(p.content - 8, p.end - p.content + 8));
    const bool wideIndex = readBe(b, ipma.content, 4) & 1;
    const int idBytes = uchar(b[ipma.content]) < 1 ? 2 : 4;
    qsizetype at = ipma.content + 8;
    const quint32 entries = readBe(b, ipma.content + 4, 4);
    for (quint32 e = 0; e < entries; ++e) {
        HeifItem &item = itemOf(parts, readBe(b, at, idBytes));
        at += idBytes;
        const int n = uchar(b[at++]);
        for (int i = 0; i < n; ++i) {
            const quint32 index = wideIndex ? readBe(b, at, 2) & 0x7fff : readBe(b, at, 1) & 0x7f;
            at += wideIndex ? 2 : 1;
            item.properties.append(properties[qsizetype(index) - 1]);
        }
    }
}

void readIref(const QByteArray &b, const Child &iref, HeifParts &parts)
{
    for (const Child &r : children(b, iref.content + 4, iref.end)) {
        HeifItem &from = itemOf(parts, readBe(b, r.content, 2));
        const quint32 n = readBe(b, r.content + 2, 2);
        for (quint32 i = 0; i < n; ++i)
            (r.type == "dimg" ? from.derivedFrom : from.auxiliaryOf).append(readBe(b, r.content + 4 + 2 * i, 2));
    }
}

QByteArray propertyList(const HeifParts &parts, QList<QByteArray> &properties)
{
    QByteArray entries;
    for (const HeifItem &item : parts.items) {
        entries += be(item.id, 2) + be(quint64(item.properties.size()), 1);
        for (const QByteArray &p : item.properties) {
            if (!properties.contains(p))
                properties.append(p);
            entries += be(quint64(properties.indexOf(p) + 1) | 0x8000, 2);
        }
    }
    QByteArray ipco;
    for (const QByteArray &p : properties)
        ipco += p;
    return isoBox("ipco", ipco) + isoFullBox("ipma", 0, 1, be(quint64(parts.items.size()), 4) + entries);
}

QByteArray references(const HeifParts &parts)
{
    QByteArray refs;
    for (const HeifItem &item : parts.items) {
        for (const auto &[type, to] : {std::pair{"dimg", item.derivedFrom}, std::pair{"auxl", item.auxiliaryOf}}) {
            if (to.isEmpty())
                continue;
            QByteArray r = be(item.id, 2) + be(quint64(to.size()), 2);
            for (const quint32 id : to)
                r += be(id, 2);
            refs += isoBox(type, r);
        }
    }
    return refs.isEmpty() ? QByteArray() : isoFullBox("iref", 0, 0, refs);
}

// The meta box, with the items' data at `dataAt` on.
QByteArray meta(const HeifParts &parts, quint64 dataAt)
{
    QByteArray infe, iloc;
    int located = 0;
    for (const HeifItem &item : parts.items) {
        infe += isoFullBox("infe", 2, 0, be(item.id, 2) + be(0, 2) + item.type + QByteArray(1, '\0'));
        if (item.data.isEmpty()) { // located, without data
            iloc += be(item.id, 2) + be(0, 2) + be(0, 2);
            ++located;
            continue;
        }
        iloc += be(item.id, 2) + be(0, 2) + be(1, 2) + be(dataAt, 4) + be(quint64(item.data.size()), 4);
        dataAt += quint64(item.data.size());
        ++located;
    }
    QList<QByteArray> properties;
    const QByteArray hdlr = isoFullBox("hdlr", 0, 0, be(0, 4) + "pict" + QByteArray(13, '\0'));
    const QByteArray pitm = parts.pitm.isNull() ? isoFullBox("pitm", 0, 0, be(parts.primary, 2)) : parts.pitm;
    return isoFullBox("meta", 0, 0,
                      hdlr + pitm + isoFullBox("iinf", 0, 0, be(quint64(parts.items.size()), 2) + infe) +
                          isoFullBox("iloc", 0, 0, be(0x4400, 2) + be(quint64(located), 2) + iloc) +
                          references(parts) + isoBox("iprp", propertyList(parts, properties)));
}

} // namespace

QByteArray isoBox(const char *type, const QByteArray &content)
{
    return be(quint64(content.size()) + 8, 4) + QByteArray(type, 4) + content;
}

QByteArray isoFullBox(const char *type, int version, quint32 flags, const QByteArray &content)
{
    return isoBox(type, be(quint64(version), 1) + be(flags, 3) + content);
}

HeifItem *HeifParts::item(quint32 id)
{
    for (HeifItem &i : items)
        if (i.id == id)
            return &i;
    return nullptr;
}

HeifParts heifParts(const QByteArray &file)
{
    HeifParts parts;
    const QList<Child> top = children(file, 0, file.size());
    parts.brand = file.mid(find(top, "ftyp").content, 4);
    const Child metaBox = find(top, "meta");
    const QList<Child> inside = children(file, metaBox.content + 4, metaBox.end);
    parts.primary = readBe(file, find(inside, "pitm").content + 4, 2);
    const Child iinf = find(inside, "iinf");
    for (const Child &infe : children(file, iinf.content + 6, iinf.end))
        itemOf(parts, readBe(file, infe.content + 4, 2)).type = file.mid(infe.content + 8, 4);
    readIloc(file, find(inside, "iloc"), parts);
    readIprp(file, find(inside, "iprp"), parts);
    if (const Child iref = find(inside, "iref"); !iref.type.isEmpty())
        readIref(file, iref, parts);
    return parts;
}

QByteArray heifFile(const HeifParts &parts)
{
    const QByteArray ftyp = isoBox("ftyp", parts.brand + be(0, 4) + "mif1" + parts.brand + "miaf");
    const quint64 dataAt = quint64(ftyp.size() + meta(parts, 0).size() + 8);
    QByteArray data;
    for (const HeifItem &item : parts.items)
        data += item.data;
    return ftyp + meta(parts, dataAt) + isoBox("mdat", data);
}

QByteArray heifGridData(int columns, int rows, int w, int h)
{
    const bool wide = w > 65535 || h > 65535;
    return be(0, 1) + be(wide ? 1 : 0, 1) + be(quint64(rows - 1), 1) + be(quint64(columns - 1), 1) +
           be(quint64(w), wide ? 4 : 2) + be(quint64(h), wide ? 4 : 2);
}

namespace {

QByteArray ispe(int w, int h) { return isoFullBox("ispe", 0, 0, be(quint64(w), 4) + be(quint64(h), 4)); }

quint32 freeId(const HeifParts &parts)
{
    quint32 id = 0;
    for (const HeifItem &i : parts.items)
        id = std::max(id, i.id);
    return id + 1;
}

// Inserts the property just before the primary's ispe.
void beforeIspe(HeifParts &parts, const QByteArray &property)
{
    QList<QByteArray> &list = parts.item(parts.primary)->properties;
    qsizetype at = 0;
    while (at < list.size() && list[at].mid(4, 4) != "ispe")
        ++at;
    list.insert(at, property);
}

// A new primary item of `type` over `from`.
void derive(HeifParts &parts, const QByteArray &type, const QList<quint32> &from, QSize size, const QByteArray &data = {})
{
    const quint32 id = freeId(parts);
    parts.items.append(HeifItem{id, type, data, {ispe(size.width(), size.height())}, from, {}});
    parts.primary = id;
}

// The items of another picture, numbered after these; its primary's id.
quint32 merge(HeifParts &parts, const HeifParts &other)
{
    const quint32 shift = freeId(parts);
    for (HeifItem item : other.items) {
        item.id += shift;
        for (quint32 &id : item.derivedFrom)
            id += shift;
        for (quint32 &id : item.auxiliaryOf)
            id += shift;
        parts.items.append(item);
    }
    return other.primary + shift;
}

} // namespace

QByteArray craftedHeif(const QImage &picture, const HeifOptions &options, const QString &recipe)
{
    HeifParts parts = heifParts(heif(picture, options));
    QSize size = picture.size();
    for (const QString &step : recipe.split(u' ', Qt::SkipEmptyParts)) {
        const QStringList n = step.mid(step.indexOf(QRegularExpression(QStringLiteral("[0-9]")))).split(
            QRegularExpression(QStringLiteral("[x=]")));
        auto number = [&n](int i) { return n.value(i).toInt(); };
        if (step.startsWith(u'r')) {
            beforeIspe(parts, isoBox("irot", be(quint64(number(0)), 1)));
        } else if (step.startsWith(u'm')) {
            beforeIspe(parts, isoBox("imir", be(quint64(number(0)), 1)));
        } else if (step.startsWith(u'c')) {
            QByteArray clap;
            for (const int v : {number(0), 1, number(1), 1, 0, 1, 0, 1})
                clap += be(quint32(v), 4);
            beforeIspe(parts, isoBox("clap", clap));
        } else if (step.startsWith(QStringLiteral("iden"))) {
            for (int i = 0; i < number(0); ++i)
                derive(parts, "iden", {parts.primary}, size);
        } else if (step.startsWith(QStringLiteral("grid"))) {
            size = QSize(number(2), number(3));
            derive(parts, "grid", QList<quint32>(number(0) * number(1), parts.primary), size,
                   heifGridData(number(0), number(1), size.width(), size.height()));
        } else if (step == QStringLiteral("overlay")) {
            parts.item(parts.primary)->type = "iovl";
        } else if (step.startsWith(QStringLiteral("tile-"))) {
            HeifOptions other = options;
            other.bits = step == QStringLiteral("tile-deep") ? 10 : other.bits;
            other.alpha = step == QStringLiteral("tile-alpha") ? true : other.alpha;
            other.chroma444 = step == QStringLiteral("tile-444") ? !other.chroma444 : other.chroma444;
            const quint32 first = parts.primary;
            const quint32 second = merge(parts, heifParts(heif(picture.convertToFormat(QImage::Format_ARGB32), other)));
            size = QSize(picture.width() * 2, picture.height());
            derive(parts, "grid", {first, second}, size, heifGridData(2, 1, size.width(), size.height()));
        } else if (step.startsWith(QStringLiteral("ispe"))) {
            for (QByteArray &p : parts.item(parts.primary)->properties)
                if (p.mid(4, 4) == "ispe")
                    p = ispe(number(0), number(1));
        } else if (step == QStringLiteral("short-pitm")) {
            parts.pitm = isoFullBox("pitm", 0, 0, be(parts.primary, 1));
        }
    }
    return heifFile(parts);
}

} // namespace testimages
