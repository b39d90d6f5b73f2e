#include "files/embeddedprofile.h"

#include "files/formats.h"

#include <QtEndian>

#include <cstdint>
#include <zlib.h>

namespace pv {

namespace {

std::uint32_t be32(const QByteArray &b, qsizetype at) { return qFromBigEndian<quint32>(b.constData() + at); }

} // namespace

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

QByteArray embeddedProfile(const QByteArray &file)
{
    const FormatRow &format = formatOf(file.left(kSignatureBytes));
    return format.profile ? format.profile(file) : QByteArray();
}

} // namespace pv
