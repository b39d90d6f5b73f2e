#include "files/metadata.h"

#include "files/formats.h"

#include "files/decoders.h"

#include <QXmlStreamReader>
#include <QtEndian>

#include <libexif/exif-data.h>
#include <libheif/heif.h>
#include <QBuffer>
#include <webp/demux.h>
#include <webp/mux.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace pv {

namespace {

const QByteArray kExifHeader("Exif\0\0", 6);
// EXIF lives in one JPEG segment: nothing larger is believed or written.
constexpr qsizetype kMaxExif = 65533;

quint32 be32(const QByteArray &b, qsizetype at) { return qFromBigEndian<quint32>(b.constData() + at); }

// The TIFF structure at `at` of a block, headed as libexif reads it.
QByteArray headed(const QByteArray &block, qsizetype at)
{
    if (at < 0 || at >= block.size() || block.size() - at > kMaxExif)
        return QByteArray();
    return kExifHeader + block.mid(at);
}

} // namespace

QByteArray jpegExif(const QByteArray &file)
{
    qsizetype at = 2;
    while (at + 4 <= file.size() && uchar(file[at]) == 0xff) {
        const uchar marker = uchar(file[at + 1]);
        const qsizetype length = qFromBigEndian<quint16>(file.constData() + at + 2);
        if (marker == 0xda || length < 2 || at + 2 + length > file.size())
            break;
        if (marker == 0xe1 && file.mid(at + 4, 6) == kExifHeader)
            return file.mid(at + 4, length - 2);
        at += 2 + length;
    }
    return QByteArray();
}

QByteArray pngExif(const QByteArray &file)
{
    qsizetype at = 8;
    while (at + 12 <= file.size()) {
        const qint64 length = be32(file, at);
        if (length > file.size() - at - 12 || file.mid(at + 4, 4) == "IEND")
            break;
        if (file.mid(at + 4, 4) == "eXIf")
            return headed(file.mid(at + 8, length), 0);
        at += 12 + length;
    }
    return QByteArray();
}

QByteArray webpExif(const QByteArray &file)
{
    const WebPData data{reinterpret_cast<const uint8_t *>(file.constData()), size_t(file.size())};
    WebPDemuxer *demux = WebPDemux(&data);
    if (!demux)
        return QByteArray();
    QByteArray out;
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
        const QByteArray payload(reinterpret_cast<const char *>(chunk.chunk.bytes), qsizetype(chunk.chunk.size));
        out = payload.startsWith(kExifHeader) ? headed(payload, 6) : headed(payload, 0);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    WebPDemuxDelete(demux);
    return out;
}

namespace {

// An Exif item or box: a 4-byte offset to the TIFF header, then the data.
QByteArray offsetExif(const QByteArray &payload)
{
    if (payload.size() < 4)
        return QByteArray();
    return headed(payload, 4 + qsizetype(be32(payload, 0)));
}

} // namespace

QByteArray heifExif(const QByteArray &file)
{
    // libheif follows the boxes only once the program's own check of their
    // structure has passed: a crafted file must not reach it unchecked.
    QBuffer checked;
    checked.setData(file);
    checked.open(QIODevice::ReadOnly);
    if (!heifSize(checked))
        return QByteArray();
    struct Free {
        void operator()(heif_context *c) const { heif_context_free(c); }
        void operator()(heif_image_handle *h) const { heif_image_handle_release(h); }
    };
    std::unique_ptr<heif_context, Free> context(heif_context_alloc());
    heif_image_handle *made = nullptr;
    if (!context || heif_context_read_from_memory_without_copy(context.get(), file.constData(), size_t(file.size()), nullptr).code != heif_error_Ok ||
        heif_context_get_primary_image_handle(context.get(), &made).code != heif_error_Ok)
        return QByteArray();
    std::unique_ptr<heif_image_handle, Free> handle(made);
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) != 1)
        return QByteArray();
    const size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    if (size < 4 || size > size_t(kMaxExif) + 4)
        return QByteArray();
    QByteArray payload(qsizetype(size), Qt::Uninitialized);
    if (heif_image_handle_get_metadata(handle.get(), id, payload.data()).code != heif_error_Ok)
        return QByteArray();
    return offsetExif(payload);
}

// JPEG XL's container: boxes from the start, an uncompressed Exif box.
QByteArray jxlExif(const QByteArray &file)
{
    qsizetype at = 0;
    for (int boxes = 0; boxes < 4096 && at + 8 <= file.size(); ++boxes) {
        qint64 length = be32(file, at), header = 8;
        if (length == 1 && at + 16 <= file.size())
            length = qint64(qFromBigEndian<quint64>(file.constData() + at + 8)), header = 16;
        else if (length == 0)
            length = file.size() - at;
        if (length < header || length > file.size() - at)
            break;
        if (file.mid(at + 4, 4) == "Exif")
            return offsetExif(file.mid(at + header, length - header));
        at += length;
    }
    return QByteArray();
}

QByteArray exifBlock(const QByteArray &file)
{
    const FormatRow &format = formatOf(file.left(kSignatureBytes));
    return format.exif ? format.exif(file) : QByteArray();
}

namespace {

// The XMP packet's first dc:creator and dc:rights (a list's first item).
struct XmpRights {
    QByteArray creator, rights;
};

XmpRights xmpRights(const QByteArray &file)
{
    XmpRights out;
    const qsizetype start = file.indexOf("<x:xmpmeta");
    const qsizetype end = start < 0 ? -1 : file.indexOf("</x:xmpmeta>", start);
    // Packets are a few kilobytes; a larger one is not read.
    if (end < 0 || end - start > (1 << 20))
        return out;
    QXmlStreamReader xml(file.mid(start, end + 12 - start));
    const QString dc = QStringLiteral("http://purl.org/dc/elements/1.1/");
    QByteArray *into = nullptr;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement && xml.namespaceUri() == dc)
            into = xml.name() == u"creator" ? &out.creator : xml.name() == u"rights" ? &out.rights : nullptr;
        else if (token == QXmlStreamReader::EndElement && xml.namespaceUri() == dc)
            into = nullptr;
        else if (token == QXmlStreamReader::Characters && into && into->isEmpty() && !xml.isWhitespace())
            *into = xml.text().toUtf8().left(4096);
    }
    return out;
}

struct ExifFree {
    void operator()(ExifData *d) const { exif_data_unref(d); }
};
using ExifPtr = std::unique_ptr<ExifData, ExifFree>;

// Puts a text tag into `out`: a copy of `from`'s, or `text` when it has none.
void putText(ExifData *out, ExifIfd ifd, ExifTag tag, ExifData *from, const QByteArray &text = {})
{
    const ExifEntry *e = from ? exif_content_get_entry(from->ifd[ifd], tag) : nullptr;
    QByteArray value;
    if (e && e->format == EXIF_FORMAT_ASCII && e->data && e->size > 0)
        value = QByteArray(reinterpret_cast<const char *>(e->data), qsizetype(e->size));
    else
        value = text;
    while (value.endsWith('\0'))
        value.chop(1);
    if (value.isEmpty())
        return;
    value.append('\0');
    ExifEntry *n = exif_entry_new();
    if (!n)
        return;
    n->data = static_cast<unsigned char *>(std::malloc(size_t(value.size())));
    if (n->data) {
        std::memcpy(n->data, value.constData(), size_t(value.size()));
        n->tag = tag;
        n->format = EXIF_FORMAT_ASCII;
        n->components = (unsigned long)value.size();
        n->size = (unsigned int)value.size();
        exif_content_add_entry(out->ifd[ifd], n);
    }
    exif_entry_unref(n);
}

} // namespace

QByteArray keptExif(const QByteArray &file, unsigned keep)
{
    if (!(keep & (KeepRights | KeepDate)))
        return QByteArray();
    const QByteArray block = exifBlock(file);
    ExifPtr in(block.isEmpty() ? nullptr : exif_data_new_from_data(reinterpret_cast<const unsigned char *>(block.constData()),
                                                                   unsigned(block.size())));
    ExifPtr out(exif_data_new());
    if (!out)
        return QByteArray();
    // Only the tags put here, nothing the standard would add.
    exif_data_unset_option(out.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_byte_order(out.get(), EXIF_BYTE_ORDER_INTEL);
    if (keep & KeepRights) {
        const XmpRights xmp = xmpRights(file);
        putText(out.get(), EXIF_IFD_0, EXIF_TAG_ARTIST, in.get(), xmp.creator);
        putText(out.get(), EXIF_IFD_0, EXIF_TAG_COPYRIGHT, in.get(), xmp.rights);
    }
    if (keep & KeepDate)
        putText(out.get(), EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, in.get());
    if (out->ifd[EXIF_IFD_0]->count == 0 && out->ifd[EXIF_IFD_EXIF]->count == 0)
        return QByteArray();
    unsigned char *saved = nullptr;
    unsigned int size = 0;
    exif_data_save_data(out.get(), &saved, &size);
    QByteArray bytes;
    if (saved && size <= unsigned(kMaxExif))
        bytes = QByteArray(reinterpret_cast<const char *>(saved), qsizetype(size));
    std::free(saved);
    return bytes;
}

namespace {

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    chunk += type + data;
    const QByteArray crcd = type + data;
    const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(crcd.constData()), uInt(crcd.size())));
    QByteArray tail(4, '\0');
    qToBigEndian<quint32>(crc, tail.data());
    return chunk + tail;
}

} // namespace

QByteArray pngWithMetadata(const QByteArray &png, const QByteArray &exif, const QByteArray &icc)
{
    // The signature and IHDR (13 bytes of data) come first.
    constexpr qsizetype kAfterIhdr = 8 + 12 + 13;
    if (png.size() < kAfterIhdr || png.mid(12, 4) != "IHDR")
        return QByteArray();
    QByteArray added;
    if (!icc.isEmpty()) {
        QByteArray deflated(qsizetype(compressBound(uLong(icc.size()))), Qt::Uninitialized);
        uLongf size = uLongf(deflated.size());
        if (compress(reinterpret_cast<Bytef *>(deflated.data()), &size, reinterpret_cast<const Bytef *>(icc.constData()),
                     uLong(icc.size())) != Z_OK)
            return QByteArray();
        deflated.truncate(qsizetype(size));
        added += pngChunk("iCCP", QByteArray("ICC Profile\0\0", 13) + deflated);
    }
    if (exif.startsWith(kExifHeader))
        added += pngChunk("eXIf", exif.mid(6));
    return png.left(kAfterIhdr) + added + png.mid(kAfterIhdr);
}

QByteArray webpWithMetadata(const QByteArray &webp, const QByteArray &exif, const QByteArray &icc)
{
    const WebPData image{reinterpret_cast<const uint8_t *>(webp.constData()), size_t(webp.size())};
    WebPMux *mux = WebPMuxCreate(&image, 1);
    if (!mux)
        return QByteArray();
    bool ok = true;
    auto put = [&](const char *fourcc, const QByteArray &data) {
        const WebPData chunk{reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size())};
        ok = ok && (data.isEmpty() || WebPMuxSetChunk(mux, fourcc, &chunk, 1) == WEBP_MUX_OK);
    };
    put("ICCP", icc);
    put("EXIF", exif.startsWith(kExifHeader) ? exif.mid(6) : exif);
    WebPData assembled{nullptr, 0};
    ok = ok && WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
    QByteArray out;
    if (ok)
        out = QByteArray(reinterpret_cast<const char *>(assembled.bytes), qsizetype(assembled.size));
    WebPDataClear(&assembled);
    WebPMuxDelete(mux);
    return out;
}

} // namespace pv
