// GIF decoding with giflib: the first frame, laid on the logical screen.
// Pixels the frame does not cover, and its transparent pixels, come out
// transparent. Data that ends early or does not decompress is refused.
#include "files/decoders.h"
#include "files/picture.h"
#include "surfaces/pixelmemory.h"

#include <gif_lib.h>

#include <cstring>
#include <vector>

namespace pv {

namespace {

struct Source {
    const QByteArray *bytes;
    qint64 pos = 0;
};

int readFromMemory(GifFileType *gif, GifByteType *buf, int len)
{
    auto *src = static_cast<Source *>(gif->UserData);
    const qint64 n = std::min<qint64>(len, src->bytes->size() - src->pos);
    if (n <= 0)
        return 0;
    std::memcpy(buf, src->bytes->constData() + src->pos, size_t(n));
    src->pos += n;
    return int(n);
}

struct GifCloser {
    GifFileType *gif;
    ~GifCloser()
    {
        int err = 0;
        if (gif)
            DGifCloseFile(gif, &err);
    }
};

Failure<Fault> refuse(const char *why) { return failure(Fault::content(QString::fromLatin1(why))); }

// Reads an extension, taking the transparent index from a graphic
// control block; false when it is damaged.
bool readExtension(GifFileType *gif, int &transparent)
{
    int code = 0;
    GifByteType *ext = nullptr;
    if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR)
        return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) {
        GraphicsControlBlock gcb;
        if (DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK)
            transparent = gcb.TransparentColor;
    }
    while (ext) {
        if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR)
            return false;
    }
    return true;
}

// Decodes one row of the frame into the canvas row `dst` (at the frame's
// left); its transparent pixels are left as they are.
bool readRow(GifFileType *gif, std::vector<GifPixelType> &line, const ColorMapObject &map, int transparent,
             QRgb *dst)
{
    const int width = gif->Image.Width;
    if (DGifGetLine(gif, line.data(), width) == GIF_ERROR)
        return false;
    for (int x = 0; x < width; ++x) {
        const int index = line[size_t(x)];
        if (index == transparent)
            continue;
        if (index < map.ColorCount) {
            const GifColorType &c = map.Colors[index];
            dst[x] = qRgb(c.Red, c.Green, c.Blue);
        } else {
            dst[x] = qRgb(0, 0, 0);
        }
    }
    return true;
}

// The frame whose descriptor was just read, laid on the logical screen,
// grown where the frame overhangs it.
Made<QImage> readFrame(GifFileType *gif, int transparent, qint64 fileSize)
{
    const GifImageDesc &desc = gif->Image;
    const ColorMapObject *map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    if (!map)
        return refuse("GIF without colours");
    const qint64 canvasW = std::max<qint64>(gif->SWidth, qint64(desc.Left) + desc.Width);
    const qint64 canvasH = std::max<qint64>(gif->SHeight, qint64(desc.Top) + desc.Height);
    if (desc.Width < 1 || desc.Height < 1 || !sizeAllowed(canvasW, canvasH) ||
        !plausibleSize(canvasW, canvasH, fileSize))
        return refuse("GIF size out of range");
    std::vector<GifPixelType> line(size_t(desc.Width));
    QImage image = allocateImage(int(canvasW), int(canvasH), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    // Interlaced rows come in four passes: every 8th from 0, every 8th
    // from 4, every 4th from 2, every 2nd from 1.
    static constexpr int interlacedStart[] = {0, 4, 2, 1};
    static constexpr int interlacedStep[] = {8, 8, 4, 2};
    const int passes = desc.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const int start = desc.Interlace ? interlacedStart[pass] : 0, step = desc.Interlace ? interlacedStep[pass] : 1;
        for (int y = start; y < desc.Height; y += step) {
            auto *dst = reinterpret_cast<QRgb *>(image.scanLine(desc.Top + y)) + desc.Left;
            if (!readRow(gif, line, *map, transparent, dst))
                return refuse("GIF data ends early");
        }
    }
    return image;
}

} // namespace

Made<QImage> decodeGif(const QByteArray &bytes)
{
    Source source{&bytes};
    int error = 0;
    GifFileType *gif = DGifOpen(&source, readFromMemory, &error);
    if (!gif)
        return refuse("not a GIF file");
    GifCloser closer{gif};
    int transparent = -1;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            return refuse("GIF data ends early");
        if (type == TERMINATE_RECORD_TYPE)
            return refuse("GIF without a picture");
        if (type == EXTENSION_RECORD_TYPE && !readExtension(gif, transparent))
            return refuse("bad GIF extension");
        if (type != IMAGE_DESC_RECORD_TYPE)
            continue;
        if (DGifGetImageDesc(gif) == GIF_ERROR)
            return refuse("bad GIF image descriptor");
        return readFrame(gif, transparent, bytes.size());
    }
}

} // namespace pv
