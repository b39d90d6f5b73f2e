#include "files/imagewrite.h"

#include "files/atomicfile.h"
#include "files/bmpwrite.h"

#include <QBuffer>
#include <QImageWriter>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

namespace pv {

namespace {

struct JpegError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegError *>(cinfo->err)->jump, 1);
}

// Everything the encoder touches lives here, so that nothing depends on
// locals after a longjmp.
struct JpegJob {
    jpeg_compress_struct cinfo{};
    JpegError err{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
};

bool encodeJpeg(JpegJob &job, const QImage &pixels, int quality)
{
    jpeg_compress_struct &c = job.cinfo;
    c.err = jpeg_std_error(&job.err.pub);
    job.err.pub.error_exit = onJpegError;
    if (setjmp(job.err.jump))
        return false;
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &job.buffer, &job.size);
    c.image_width = JDIMENSION(pixels.width());
    c.image_height = JDIMENSION(pixels.height());
    c.input_components = 4;
    c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.constScanLine(int(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

QByteArray encoded(const QImage &pixels, ImageFormat format, int quality)
{
    if (format == ImageFormat::Png) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        return writer.write(pixels) ? bytes : QByteArray();
    }
    JpegJob job;
    const bool ok = encodeJpeg(job, pixels, quality);
    jpeg_destroy_compress(&job.cinfo);
    QByteArray bytes;
    if (ok)
        bytes = QByteArray(reinterpret_cast<const char *>(job.buffer), qsizetype(job.size));
    std::free(job.buffer);
    return bytes;
}

} // namespace

QString extensionOf(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Png:
        return QStringLiteral("png");
    case ImageFormat::Jpeg:
        return QStringLiteral("jpg");
    case ImageFormat::Bmp:
        break;
    }
    return QStringLiteral("bmp");
}

WriteOutcome writePicture(const QImage &pixels, const QString &path, ImageFormat format, int quality, bool replace)
{
    AtomicFile file(path, replace ? AtomicFile::Existing::Replace : AtomicFile::Existing::Keep);
    QString error = file.open();
    if (error.isEmpty()) {
        if (format == ImageFormat::Bmp) {
            error = writeBmp(pixels, file);
        } else {
            const QByteArray bytes = encoded(pixels, format, quality);
            if (bytes.isEmpty())
                return {QStringLiteral("cannot encode the picture"), false};
            file.writeAt(bytes.constData(), bytes.size(), 0);
            error = file.commit();
        }
    }
    return {error, file.targetExisted()};
}

} // namespace pv
