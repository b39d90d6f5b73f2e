#include "files/imagewrite.h"

#include "files/atomicfile.h"
#include "files/bmpwrite.h"
#include "input/filenames.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtEndian>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {

struct EncoderError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<EncoderError *>(cinfo->err)->jump, 1);
}

// Everything the encoder touches lives here, so that nothing depends on
// locals after a longjmp.
struct Encoder {
    jpeg_compress_struct cinfo{};
    EncoderError err{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
};

bool encodeJpeg(Encoder &encoder, const QImage &pixels, int quality)
{
    jpeg_compress_struct &c = encoder.cinfo;
    c.err = jpeg_std_error(&encoder.err.pub);
    encoder.err.pub.error_exit = onJpegError;
    if (setjmp(encoder.err.jump))
        return false;
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &encoder.buffer, &encoder.size);
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
    Encoder encoder;
    const bool ok = encodeJpeg(encoder, pixels, quality);
    jpeg_destroy_compress(&encoder.cinfo);
    QByteArray bytes;
    if (ok)
        bytes = QByteArray(reinterpret_cast<const char *>(encoder.buffer), qsizetype(encoder.size));
    std::free(encoder.buffer);
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

Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request)
{
    AtomicFile file(path, request.replace ? AtomicFile::Existing::Replace : AtomicFile::Existing::Keep, request.links);
    if (Made<void> opened = file.open(); !opened)
        return opened;
    if (request.format == ImageFormat::Bmp)
        return writeBmp(pixels, file, request.work);
    const QByteArray bytes = encoded(pixels, request.format, request.quality);
    if (bytes.isEmpty())
        return failure(Fault::content(QStringLiteral("cannot encode the picture")));
    file.writeAt(bytes.constData(), bytes.size(), 0);
    return file.commit();
}

bool looksCutShort(const QString &path, ImageFormat format)
{
    const int fd = ::open(bytesOfName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    char head[8] = {}, tail[12] = {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const qint64 size = regular ? qint64(st.st_size) : -1;
    const qint64 headBytes = size > 0 ? ::pread(fd, head, sizeof head, 0) : 0;
    const bool tailRead = size >= qint64(sizeof tail) &&
                          ::pread(fd, tail, sizeof tail, size - qint64(sizeof tail)) == qint64(sizeof tail);
    ::close(fd);
    if (size == 0)
        return true;
    if (size < 0)
        return false;
    auto begins = [&](const char *signature, qint64 length) {
        return std::memcmp(head, signature, size_t(std::min(length, headBytes))) == 0;
    };
    switch (format) {
    case ImageFormat::Bmp:
        return begins("BM", 2) && (headBytes < 6 || qFromLittleEndian<quint32>(head + 2) > quint64(size));
    case ImageFormat::Png:
        return begins("\x89PNG\r\n\x1a\n", 8) && !(tailRead && std::memcmp(tail + 4, "IEND", 4) == 0);
    case ImageFormat::Jpeg:
        return begins("\xff\xd8", 2) && !(tailRead && std::memcmp(tail + 10, "\xff\xd9", 2) == 0);
    }
    return false;
}

} // namespace pv
