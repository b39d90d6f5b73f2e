#pragma once
// The meta box of a HEIF file read into its items: what heifboxes.cpp
// walks. Internal to the imaging layer.

#include "files/heifboxes.h"

#include <QHash>
#include <QSize>

#include <optional>
#include <vector>

namespace pv::heif {

constexpr quint32 fcc(const char (&s)[5])
{
    return quint32(uchar(s[0])) << 24 | quint32(uchar(s[1])) << 16 | quint32(uchar(s[2])) << 8 | uchar(s[3]);
}

inline QString typeName(quint32 t)
{
    QString s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char(t >> shift);
        s += c >= 0x20 && c < 0x7f ? QChar(c) : QChar(u'?');
    }
    return s;
}

// Big-endian reading of [at, end) of `b`; past the end it reads zeros and
// fails.
class Cursor {
public:
    Cursor(const QByteArray &b, qsizetype at, qsizetype end) : m_b(b), m_at(at), m_end(end) {}
    quint64 read(int bytes)
    {
        if (!m_ok || bytes < 0 || bytes > 8 || m_end - m_at < bytes) {
            m_ok = false;
            return 0;
        }
        quint64 v = 0;
        for (int i = 0; i < bytes; ++i)
            v = v << 8 | uchar(m_b[m_at + i]);
        m_at += bytes;
        return v;
    }
    void skip(qsizetype bytes)
    {
        if (!m_ok || bytes < 0 || m_end - m_at < bytes)
            m_ok = false;
        else
            m_at += bytes;
    }
    quint32 u8() { return quint32(read(1)); }
    quint32 u16() { return quint32(read(2)); }
    quint32 u32() { return quint32(read(4)); }
    [[nodiscard]] bool ok() const { return m_ok; }
    [[nodiscard]] qsizetype at() const { return m_at; }

private:
    const QByteArray &m_b;
    qsizetype m_at, m_end;
    bool m_ok = true;
};

struct Box {
    quint32 type = 0;
    qsizetype content = 0;
    qsizetype end = 0;
};

// The boxes that fill [from, to) of `b`, or nothing if one overruns it.
[[nodiscard]] std::optional<std::vector<Box>> childBoxes(const QByteArray &b, qsizetype from, qsizetype to);

struct Extent {
    quint64 offset = 0;
    quint64 length = 0; // 0: to the end
};

struct Item {
    quint32 type = 0;
    bool listed = false;       // in iinf
    bool hasProperties = false; // in ipma
    std::vector<int> properties; // indices into ipco, in the file's order; all valid
    std::vector<quint32> derivedFrom; // dimg
    std::vector<quint32> auxiliaries; // items that refer to it by auxl
    std::vector<quint32> thumbnails;  // items that refer to it by thmb
    int construction = 0;
    quint64 baseOffset = 0;
    std::vector<Extent> extents;
};

struct Meta {
    QByteArray bytes; // the meta box's content
    std::optional<quint32> primary;
    QHash<quint32, Item> items;
    std::vector<Box> properties;
    std::optional<Box> idat;
};

// The size of the pictures an HEVC configuration (hvcC) codes, from its
// sequence parameter set, cropped by its conformance window; nothing when
// it holds none. libheif's encoder pads small pictures and states the
// unpadded size in ispe, while clap crops the coded picture.
[[nodiscard]] std::optional<QSize> hevcCodedSize(const QByteArray &b, const Box &hvcC);

// The meta box of a file of fileSize bytes read by `read`, or why it
// cannot be used.
[[nodiscard]] Made<Meta> readMeta(qint64 fileSize, const HeifReadAt &read);

} // namespace pv::heif
