#pragma once
// Colour management: pictures with an embedded ICC profile are converted to
// sRGB when they are opened, with the profile's rendering intent.

#include "surfaces/work.h"

#include <QByteArray>
#include <QImage>

#include <atomic>
#include <memory>

namespace pv {

// How the pixels of the image to convert are laid out: 32-bit RGB (RGB32 or
// ARGB32, whose alpha is kept), the same holding a grey picture (all three
// channels equal), or four bytes of CMYK per pixel as a JPEG stores them
// (Adobe's inverted, or plain). CMYK becomes RGB32.
enum class PixelLayout { Rgb, Grey, Cmyk, CmykInverted };

// Rows of 32-bit pixels that several threads may work on at once (a QImage
// must not be touched by two threads).
struct PixelRows {
    uchar *bits = nullptr;
    qsizetype bytesPerLine = 0;
    int width = 0;
    int height = 0;
    explicit PixelRows(QImage &image)
        : bits(image.bits()), bytesPerLine(image.bytesPerLine()), width(image.width()), height(image.height())
    {
    }
    [[nodiscard]] uchar *row(int y) const { return bits + bytesPerLine * y; }
};

// Converts pixels from the colours of an embedded profile to sRGB. RGB
// profiles made of curves and a matrix (what cameras and phones embed:
// Adobe RGB, Display P3) run through tables computed from the profile, grey
// ones through a table of their 256 levels; all others, and the absolute
// colorimetric intent, through Little CMS.
class ToSrgb {
public:
    // Nothing when there is nothing to do: no profile, one that cannot be
    // read, one whose colour space does not fit the pixels, or one that
    // maps every colour to itself (sRGB).
    [[nodiscard]] static std::unique_ptr<ToSrgb> from(const QByteArray &icc, PixelLayout layout);
    virtual ~ToSrgb() = default;
    // Converts rows [first, last) in place. Several threads may convert
    // different rows at once.
    virtual void convertRows(const PixelRows &rows, int first, int last) const = 0;
    // The whole image, its rows shared with the work's helpers.
    void convert(QImage &image, const Work &work) const;
};

// While one lives on a thread, RGB pictures decoded on that thread keep
// their colours: ToSrgb::from gives nothing for an RGB profile of RGB
// pixels and holds the profile here instead. (Grey and CMYK pictures are
// still converted: their profiles cannot describe RGB pixels.)
class KeepColours {
public:
    KeepColours();
    ~KeepColours();
    KeepColours(const KeepColours &) = delete;
    KeepColours &operator=(const KeepColours &) = delete;
    QByteArray profile; // the last kept; empty: none met
    // Whether one is active on this thread.
    [[nodiscard]] static bool active();
    // Hands it a profile kept elsewhere (by a decoder in a child process).
    static void offer(const QByteArray &icc);

private:
    KeepColours *m_outer;
};

// Converts a whole image in place, its rows shared with the work's
// helpers; false when nothing was to be done.
bool convertToSrgb(QImage &image, const QByteArray &icc, PixelLayout layout, const Work &work);

// Converts the rows of a picture that a decoder fills from the top while
// it does so: work() converts each band of rows as soon as the decoder has
// filled it, and returns when every row is converted or stop() was called.
// The decoder runs work() on a second thread as it starts, calls filled()
// as it goes, and when it is done calls work() itself, so that both cores
// finish the rest.
class ConvertBehind {
public:
    ConvertBehind(QImage &image, const ToSrgb &toSrgb) : m_rows(image), m_toSrgb(toSrgb) {}
    // Rows [0, rows) are final.
    void filled(int rows);
    void work();
    // The picture is refused: converting stops.
    void stop();

private:
    static constexpr int kBand = 16;
    PixelRows m_rows;
    const ToSrgb &m_toSrgb;
    std::atomic<int> m_filled{0};
    std::atomic<int> m_nextBand{0};
    std::atomic<bool> m_stopped{false};
};

} // namespace pv
