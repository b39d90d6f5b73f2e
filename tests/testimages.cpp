#include "testimages.h"

#include <QFile>
#include <QHash>
#include <QtEndian>
#include <cstdio>
#include <jpeglib.h>
#include <lcms2.h>
#include <cmath>
#include <functional>
#include <vector>

namespace testimages {

QImage pattern(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb((x * 7 + y * 3) & 255, (x * 13 + y * 29) & 255, (x + 2 * y) % 100));
    return image;
}

QImage photo(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = double(x) / w, v = double(y) / h;
            image.setPixel(x, y, qRgb(int(40 + 180 * u), int(60 + 120 * v), int(200 - 150 * u * v)));
        }
    return image;
}

QImage hardEdges(int w, int h)
{
    QImage image = photo(w, h);
    quint32 seed = 2024;
    auto next = [&seed](int n) {
        seed = seed * 1664525u + 1013904223u;
        return int((seed >> 8) % quint32(n));
    };
    for (int i = 0; i < 60; ++i) {
        const QRect block(next(w), next(h), 1 + next(w / 6), 1 + next(h / 6));
        const QRgb colour = qRgb(next(2) * 255, next(2) * 255, next(2) * 255);
        for (int y = block.top(); y <= std::min(block.bottom(), h - 1); ++y)
            for (int x = block.left(); x <= std::min(block.right(), w - 1); ++x)
                image.setPixel(x, y, (i % 5 == 0 && (x + y) % 2) ? qRgb(0, 0, 0) : colour);
    }
    for (int x = 0; x < w; x += 37)
        for (int y = 0; y < h; ++y)
            image.setPixel(x, y, qRgb(255, 255, 255));
    for (int y = 0; y < h; y += 29)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(0, 0, 0));
    return image;
}

QString firstDifference(const QImage &actual, const QImage &expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width()).arg(actual.height()).arg(expected.width()).arg(expected.height());
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x) {
            const QRgb a = actual.pixel(x, y) | 0xff000000, e = expected.pixel(x, y) | 0xff000000;
            if (a != e)
                return QStringLiteral("pixel (%1, %2) is #%3, expected #%4")
                    .arg(x).arg(y).arg(a & 0xffffff, 6, 16, QLatin1Char('0')).arg(e & 0xffffff, 6, 16, QLatin1Char('0'));
        }
    return QString();
}

Distance distance(const QImage &a, const QImage &b)
{
    Distance d;
    qint64 sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int c : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)}) {
                sum += std::abs(c);
                d.worst = std::max(d.worst, std::abs(c));
            }
        }
    d.mean = double(sum) / (3.0 * std::max(1, a.width()) * std::max(1, a.height()));
    return d;
}

double meanLuma(const QImage &image)
{
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += qGray(image.pixel(x, y));
    return sum / (double(image.width()) * image.height());
}

pv::Surface surfaceOf(const QImage &image, QRgb background)
{
    pv::Surface s(image.width(), image.height(), background);
    s.setPicture(image);
    return s;
}

namespace {

void put16(QByteArray &b, int at, quint16 v) { qToLittleEndian(v, b.data() + at); }
void put32(QByteArray &b, int at, quint32 v) { qToLittleEndian(v, b.data() + at); }

QByteArray bmpHeaders(int w, int h, int bits, quint32 compression, const QList<QRgb> &palette, qint64 dataSize)
{
    QByteArray b(54 + 4 * palette.size(), '\0');
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, quint32(b.size() + dataSize));
    put32(b, 10, quint32(b.size()));
    put32(b, 14, 40);
    put32(b, 18, quint32(w));
    put32(b, 22, quint32(h));
    put16(b, 26, 1);
    put16(b, 28, quint16(bits));
    put32(b, 30, compression);
    put32(b, 34, quint32(dataSize));
    put32(b, 46, quint32(palette.size()));
    for (int i = 0; i < palette.size(); ++i) {
        b[54 + 4 * i] = char(qBlue(palette[i]));
        b[55 + 4 * i] = char(qGreen(palette[i]));
        b[56 + 4 * i] = char(qRed(palette[i]));
    }
    return b;
}

} // namespace

QByteArray bmp(const QImage &image, int bits, bool topDown)
{
    const int w = image.width(), h = image.height();
    QList<QRgb> palette;
    QHash<QRgb, int> index;
    if (bits <= 8) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const QRgb c = image.pixel(x, y) | 0xff000000;
                if (!index.contains(c)) {
                    index.insert(c, int(palette.size()));
                    palette.append(c);
                }
            }
        Q_ASSERT(palette.size() <= (1 << bits));
    }
    const int stride = ((w * bits + 31) / 32) * 4;
    QByteArray data(qsizetype(stride) * h, '\0');
    for (int row = 0; row < h; ++row) {
        const int y = topDown ? row : h - 1 - row;
        uchar *out = reinterpret_cast<uchar *>(data.data()) + qsizetype(stride) * row;
        for (int x = 0; x < w; ++x) {
            const QRgb c = image.pixel(x, y);
            switch (bits) {
            case 1: case 4: case 8: {
                const int perByte = 8 / bits;
                out[x / perByte] |= uchar(index.value(c | 0xff000000) << ((perByte - 1 - x % perByte) * bits));
                break;
            }
            case 16: {
                const quint16 v = quint16(((qRed(c) >> 3) << 10) | ((qGreen(c) >> 3) << 5) | (qBlue(c) >> 3));
                out[2 * x] = uchar(v & 255);
                out[2 * x + 1] = uchar(v >> 8);
                break;
            }
            case 24:
                out[3 * x] = uchar(qBlue(c)), out[3 * x + 1] = uchar(qGreen(c)), out[3 * x + 2] = uchar(qRed(c));
                break;
            case 32:
                out[4 * x] = uchar(qBlue(c)), out[4 * x + 1] = uchar(qGreen(c)), out[4 * x + 2] = uchar(qRed(c));
                out[4 * x + 3] = 0;
                break;
            }
        }
    }
    QByteArray file = bmpHeaders(w, topDown ? -h : h, bits, 0, palette, data.size());
    return file + data;
}

QByteArray bmpV5(const QImage &image, bool alphaMask, const QByteArray &icc)
{
    const int w = image.width(), h = image.height();
    QByteArray b(14 + 124, '\0');
    const qint64 dataSize = qint64(w) * h * 4;
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, quint32(b.size() + dataSize + icc.size()));
    put32(b, 10, quint32(b.size()));
    put32(b, 14, 124);
    put32(b, 18, quint32(w));
    put32(b, 22, quint32(h));
    put16(b, 26, 1);
    put16(b, 28, 32);
    put32(b, 30, 3); // bit fields
    put32(b, 34, quint32(dataSize));
    put32(b, 54, 0x00ff0000);
    put32(b, 58, 0x0000ff00);
    put32(b, 62, 0x000000ff);
    put32(b, 66, alphaMask ? 0xff000000u : 0u);
    put32(b, 70, icc.isEmpty() ? 0x73524742u /* 'sRGB' */ : 0x4d424544u /* 'MBED' */);
    if (!icc.isEmpty()) {
        put32(b, 14 + 112, quint32(124 + dataSize)); // from the header's start
        put32(b, 14 + 116, quint32(icc.size()));
    }
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x) {
            const QRgb c = image.pixel(x, y);
            const char px[4] = {char(qBlue(c)), char(qGreen(c)), char(qRed(c)), char(qAlpha(c))};
            b.append(px, 4);
        }
    return b + icc;
}

QByteArray bmpRle(int w, int h, int bits, const QList<QRgb> &palette, const QByteArray &rle)
{
    return bmpHeaders(w, h, bits, bits == 8 ? 1 : 2, palette, rle.size()) + rle;
}

namespace {

// A JPEG of the picture's pixels as `colours` components (1 grey, 3 RGB, 4
// CMYK from R, G, B, A), `configure` setting the compressor up after its
// defaults.
QByteArray compressJpeg(const QImage &image, int colours, const std::function<void(jpeg_compress_struct &)> &configure,
                        const QByteArray &icc = QByteArray())
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = JDIMENSION(image.width());
    cinfo.image_height = JDIMENSION(image.height());
    cinfo.input_components = colours;
    cinfo.in_color_space = colours == 1 ? JCS_GRAYSCALE : colours == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    configure(cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    if (!icc.isEmpty())
        jpeg_write_icc_profile(&cinfo, reinterpret_cast<const JOCTET *>(icc.constData()), unsigned(icc.size()));
    std::vector<JSAMPLE> row(size_t(image.width()) * colours);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            JSAMPLE *p = row.data() + size_t(x) * colours;
            if (colours == 1) {
                p[0] = JSAMPLE(qGray(c));
            } else {
                p[0] = JSAMPLE(qRed(c)), p[1] = JSAMPLE(qGreen(c)), p[2] = JSAMPLE(qBlue(c));
                if (colours == 4)
                    p[3] = JSAMPLE(qAlpha(c));
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray out(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    return out;
}

} // namespace

QByteArray jpeg(const QImage &image, int quality, bool progressive, int colours, const QByteArray &icc, int bitsPerScan)
{
    // A grey progressive file whose every AC coefficient is sent alone, one
    // bit a scan from bit `bitsPerScan` down: 1 + 63 * (bitsPerScan + 1)
    // scans.
    std::vector<jpeg_scan_info> script;
    if (bitsPerScan > 0 && colours == 1) {
        script.push_back({1, {0}, 0, 0, 0, 0});
        for (int k = 1; k < 64; ++k)
            for (int al = bitsPerScan; al >= 0; --al)
                script.push_back({1, {0}, k, k, al == bitsPerScan ? 0 : al + 1, al});
    }
    return compressJpeg(
        image, colours,
        [&](jpeg_compress_struct &cinfo) {
            jpeg_set_quality(&cinfo, quality, TRUE);
            if (progressive)
                jpeg_simple_progression(&cinfo);
            if (!script.empty()) {
                cinfo.scan_info = script.data();
                cinfo.num_scans = int(script.size());
            }
        },
        icc);
}

QByteArray jpegLayout(const QImage &image, int h, int v, bool progressive, int restartRows)
{
    const bool grey = h == 0;
    return compressJpeg(image, grey ? 1 : 3, [&](jpeg_compress_struct &cinfo) {
        jpeg_set_quality(&cinfo, 85, TRUE);
        if (!grey) {
            cinfo.comp_info[0].h_samp_factor = h;
            cinfo.comp_info[0].v_samp_factor = v;
            for (int c : {1, 2})
                cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
        }
        cinfo.restart_in_rows = restartRows;
        if (progressive)
            jpeg_simple_progression(&cinfo);
    });
}

QImage cmykAsLibjpegConverts(const QByteArray &bytes)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(bytes.constData()), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&cinfo);
    QImage out(int(cinfo.output_width), int(cinfo.output_height), QImage::Format_RGB32);
    std::vector<JSAMPLE> row(size_t(cinfo.output_width) * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&cinfo, &r, 1);
        for (int x = 0; x < out.width(); ++x) {
            const JSAMPLE *p = row.data() + 4 * x;
            auto channel = [&](int c) { return int(double(p[c]) * double(p[3]) / 255.0 + 0.5); };
            out.setPixel(x, y, qRgb(channel(0), channel(1), channel(2)));
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return out;
}

QByteArray iccProfile(Profile which)
{
    cmsHPROFILE profile = nullptr;
    if (which == Profile::Srgb) {
        profile = cmsCreate_sRGBProfile();
    } else if (which == Profile::SrgbTabulated || which == Profile::SrgbRounded || which == Profile::SrgbGamma22) {
        profile = cmsCreate_sRGBProfile();
        const cmsCIEXYZ hp[3] = {{0.436066, 0.222488, 0.013916}, {0.385147, 0.716873, 0.097076},
                                 {0.143066, 0.060608, 0.714096}};
        const cmsCIEXYZ rounded[3] = {{0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}};
        const cmsTagSignature columns[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
        const cmsTagSignature trcs[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
        cmsToneCurve *curve = nullptr;
        if (which == Profile::SrgbTabulated) {
            std::vector<cmsUInt16Number> table(1024);
            for (size_t i = 0; i < table.size(); ++i) {
                const double v = double(i) / double(table.size() - 1);
                const double lin = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
                table[i] = cmsUInt16Number(std::lround(lin * 65535.0));
            }
            curve = cmsBuildTabulatedToneCurve16(nullptr, cmsUInt32Number(table.size()), table.data());
            cmsSetProfileVersion(profile, 2.1);
        } else if (which == Profile::SrgbRounded) {
            const double srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
            curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
        } else {
            curve = cmsBuildGamma(nullptr, 2.2);
        }
        for (int c = 0; c < 3; ++c) {
            if (which != Profile::SrgbGamma22)
                cmsWriteTag(profile, columns[c], which == Profile::SrgbTabulated ? &hp[c] : &rounded[c]);
            cmsWriteTag(profile, trcs[c], curve);
        }
        cmsFreeToneCurve(curve);
    } else {
        const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
        cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
        cmsToneCurve *curve = cmsBuildGamma(nullptr, 563.0 / 256.0);
        if (which == Profile::SwappedRedGreen || which == Profile::DisplayP3) {
            // sRGB's primaries and curve, red and green exchanged.
            primaries = which == Profile::DisplayP3 ? cmsCIExyYTRIPLE{{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}}
                                                    : cmsCIExyYTRIPLE{{0.30, 0.60, 1}, {0.64, 0.33, 1}, {0.15, 0.06, 1}};
            const double srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
            cmsFreeToneCurve(curve);
            curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
        }
        cmsToneCurve *curves[3] = {curve, curve, curve};
        profile = cmsCreateRGBProfile(&d65, &primaries, curves);
        cmsFreeToneCurve(curve);
    }
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray out(qsizetype(size), '\0');
    cmsSaveProfileToMem(profile, out.data(), &size);
    cmsCloseProfile(profile);
    return out;
}

QImage inProfile(const QImage &srgb, const QByteArray &icc)
{
    cmsHPROFILE from = cmsCreate_sRGBProfile();
    cmsHPROFILE to = cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_BGRA_8, to, TYPE_BGRA_8, INTENT_RELATIVE_COLORIMETRIC,
                                         cmsFLAGS_NOOPTIMIZE | cmsFLAGS_COPY_ALPHA);
    QImage out = srgb.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y)
        cmsDoTransform(t, out.constScanLine(y), out.scanLine(y), cmsUInt32Number(out.width()));
    cmsDeleteTransform(t);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    return out;
}

QByteArray withExifOrientation(const QByteArray &jpegBytes, int orientation)
{
    // TIFF header (little endian), one IFD with one entry: 0x0112 SHORT 1.
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    QByteArray ifd(2 + 12 + 4, '\0');
    put16(ifd, 0, 1);
    put16(ifd, 2, 0x0112);
    put16(ifd, 4, 3);
    put32(ifd, 6, 1);
    put16(ifd, 10, quint16(orientation));
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff + ifd;
    QByteArray app1("\xff\xe1", 2);
    app1.append(char((payload.size() + 2) >> 8)).append(char((payload.size() + 2) & 255));
    return jpegBytes.left(2) + app1 + payload + jpegBytes.mid(2);
}

namespace {

// A TIFF directory at `at` of the TIFF data, little endian, with the
// values that do not fit in an entry after it.
struct Tag {
    quint16 tag, type;
    quint32 count;
    QByteArray data;
};
QByteArray directory(const QList<Tag> &tags, quint32 at, quint32 next = 0)
{
    QByteArray ifd(2 + 12 * tags.size() + 4, '\0'), values;
    put16(ifd, 0, quint16(tags.size()));
    const quint32 valuesAt = at + quint32(ifd.size());
    for (qsizetype i = 0; i < tags.size(); ++i) {
        const Tag &t = tags[i];
        const int e = 2 + 12 * int(i);
        put16(ifd, e, t.tag);
        put16(ifd, e + 2, t.type);
        put32(ifd, e + 4, t.count);
        if (t.data.size() <= 4) {
            ifd.replace(e + 8, t.data.size(), t.data);
        } else {
            put32(ifd, e + 8, valuesAt + quint32(values.size()));
            values += t.data;
            if (values.size() % 2)
                values += '\0';
        }
    }
    put32(ifd, 2 + 12 * int(tags.size()), next);
    return ifd + values;
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray ascii(const char *text) { return QByteArray(text) + '\0'; }

QByteArray app1(const QByteArray &payload)
{
    QByteArray marker("\xff\xe1", 2);
    marker.append(char((payload.size() + 2) >> 8)).append(char((payload.size() + 2) & 255));
    return marker + payload;
}

QByteArray photoExif()
{
    // IFD0 at 8, sized first with placeholder offsets, then the EXIF and
    // GPS directories after it.
    auto ifd0 = [](quint32 exifAt, quint32 gpsAt) {
        return directory({{0x010f, 2, 11, ascii("PhoneMaker")}, {0x0110, 2, 8, ascii("ModelX9")},
                          {0x013b, 2, 9, ascii("Jane Doe")}, {0x8298, 2, 13, ascii("(c) Jane Doe")},
                          {0x8769, 4, 1, le32(exifAt)}, {0x8825, 4, 1, le32(gpsAt)}},
                         8);
    };
    const quint32 exifAt = 8 + quint32(ifd0(0, 0).size());
    const QByteArray exif = directory({{0x9003, 2, 20, ascii("2024:05:06 07:08:09")}, {0x927c, 7, 10, "SECRETNOTE"}}, exifAt);
    const quint32 gpsAt = exifAt + quint32(exif.size());
    const QByteArray gps = directory({{0x0001, 2, 2, ascii("N")}, {0x0002, 5, 3, le32(35) + le32(1) + le32(40) + le32(1) + le32(0) + le32(1)}}, gpsAt);
    return QByteArray("Exif\0\0II*\0\x08\0\0\0", 14) + ifd0(exifAt, gpsAt) + exif + gps;
}

} // namespace

QByteArray withPhotoMetadata(const QByteArray &jpegBytes, bool exif, bool xmp)
{
    QByteArray inserted;
    if (exif)
        inserted += app1(photoExif());
    if (xmp)
        inserted += app1(QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) +
                         R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
                         R"(<rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/">)"
                         R"(<dc:creator><rdf:Seq><rdf:li>Xmp Creator</rdf:li></rdf:Seq></dc:creator>)"
                         R"(<dc:rights><rdf:Alt><rdf:li xml:lang="x-default">Xmp Rights</rdf:li></rdf:Alt></dc:rights>)"
                         R"(</rdf:Description></rdf:RDF></x:xmpmeta>)");
    return jpegBytes.left(2) + inserted + jpegBytes.mid(2);
}

QByteArray misbehaving(const QByteArray &behaviour)
{
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(qRgb(90, 120, 150));
    const QByteArray marker = "pixelvane-stand-in:" + behaviour;
    QByteArray box(4, '\0');
    qToBigEndian<quint32>(quint32(8 + marker.size()), box.data());
    return heif(picture) + box + "free" + marker;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace testimages
