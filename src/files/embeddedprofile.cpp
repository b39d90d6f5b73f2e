#include "files/embeddedprofile.h"

#include <QtEndian>

#include <cstdint>
#include <zlib.h>

namespace pv {

namespace {

std::uint32_t be32(const QByteArray &b, qsizetype at) { return qFromBigEndian<quint32>(b.constData() + at); }

// PNG: the iCCP chunk before the first IDAT, its profile deflated.
QByteArray pngProfile(const QByteArray &file)
{
    qsizetype at = 8;
    while (at + 12 <= file.size()) {
        const qint64 length = be32(file, at);
        const QByteArray type = file.mid(at + 4, 4);
        if (length > file.size() - at - 12 || type == "IDAT" || type == "IEND")
            return QByteArray();
        if (type == "iCCP") {
            const QByteArray data = file.mid(at + 8, length);
            const qsizetype nul = data.indexOf('\0');
            if (nul < 1 || nul + 2 > data.size() || data[nul + 1] != 0)
                return QByteArray();
            const QByteArray deflated = data.mid(nul + 2);
            // Profiles are small; a few megabytes bound what a liar costs.
            QByteArray out(4 << 20, Qt::Uninitialized);
            uLongf outSize = uLongf(out.size());
            if (uncompress(reinterpret_cast<Bytef *>(out.data()), &outSize,
                           reinterpret_cast<const Bytef *>(deflated.constData()), uLong(deflated.size())) != Z_OK)
                return QByteArray();
            out.truncate(qsizetype(outSize));
            return out;
        }
        at += 12 + length;
    }
    return QByteArray();
}

// TIFF: tag 34675 of the first directory.
QByteArray tiffProfile(const QByteArray &file)
{
    if (file.size() < 8)
        return QByteArray();
    const bool little = file.startsWith("II*");
    auto u16 = [&](qint64 o) -> quint32 {
        return little ? qFromLittleEndian<quint16>(file.constData() + o) : qFromBigEndian<quint16>(file.constData() + o);
    };
    auto u32 = [&](qint64 o) -> quint32 {
        return little ? qFromLittleEndian<quint32>(file.constData() + o) : qFromBigEndian<quint32>(file.constData() + o);
    };
    const qint64 ifd = u32(4);
    if (ifd < 8 || ifd + 2 > file.size())
        return QByteArray();
    const quint32 count = u16(ifd);
    for (quint32 i = 0; i < count; ++i) {
        const qint64 entry = ifd + 2 + qint64(i) * 12;
        if (entry + 12 > file.size())
            return QByteArray();
        if (u16(entry) != 34675)
            continue;
        const qint64 size = u32(entry + 4);
        const qint64 offset = size <= 4 ? entry + 8 : qint64(u32(entry + 8));
        if (offset < 0 || size > file.size() - offset)
            return QByteArray();
        return file.mid(offset, size);
    }
    return QByteArray();
}

// WebP: the ICCP chunk of an extended file.
QByteArray webpProfile(const QByteArray &file)
{
    qsizetype at = 12;
    while (at + 8 <= file.size()) {
        const qint64 length = qFromLittleEndian<quint32>(file.constData() + at + 4);
        if (length > file.size() - at - 8)
            return QByteArray();
        if (file.mid(at, 4) == "ICCP")
            return file.mid(at + 8, length);
        at += 8 + length + (length & 1);
    }
    return QByteArray();
}

} // namespace

QByteArray embeddedProfile(const QByteArray &file)
{
    if (file.startsWith("\x89PNG\r\n\x1a\n"))
        return pngProfile(file);
    if (file.startsWith(QByteArray("II*\0", 4)) || file.startsWith(QByteArray("MM\0*", 4)))
        return tiffProfile(file);
    if (file.startsWith("RIFF") && file.mid(8, 4) == "WEBP")
        return webpProfile(file);
    return QByteArray();
}

} // namespace pv
