#include "surfaces/resample.h"

#include "surfaces/surface.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <thread>
#include <vector>

namespace pv {

namespace {

// Pixels are read as bytes: B, G, R, then alpha (255 in RGB32).
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "QRgb byte order assumed little-endian");

constexpr int kWeightBits = 14;
constexpr int kOne = 1 << kWeightBits;
// The vertical pass keeps 7 fractional bits per channel for the horizontal
// pass.
constexpr int kMidBits = 7;

struct Taps {
    std::vector<int> start; // first source index of each output
    std::vector<int> count; // number of source pixels
    std::vector<int> first; // index into weights
    std::vector<std::int32_t> weights;
};

// Fixed-point weights for keep outputs of an axis whose span
// [origin, origin + length) of inLen source pixels is scaled to outLen.
Taps makeTaps(int inLen, int outLen, int keep, double origin, double length)
{
    Taps t;
    t.start.resize(keep);
    t.count.resize(keep);
    t.first.resize(keep);
    const double scale = length / double(outLen);
    for (int k = 0; k < keep; ++k) {
        t.first[k] = int(t.weights.size());
        if (outLen < length) {
            // Area: output k covers [k * scale, (k + 1) * scale) of the span.
            const double a = std::max(0.0, origin + k * scale);
            const double b = std::min(double(inLen), origin + (k + 1) * scale);
            const int i0 = int(std::floor(a));
            const int i1 = std::min(inLen, int(std::ceil(b)));
            int given = 0;
            for (int i = i0; i < i1; ++i) {
                const double upto = std::min(b, double(i + 1)) - a;
                const int cumulative = int(std::lround(upto / (b - a) * kOne));
                t.weights.push_back(cumulative - given);
                given = cumulative;
            }
            t.start[k] = i0;
            t.count[k] = i1 - i0;
        } else {
            // Linear between pixel centres, clamped at the ends.
            const double x = std::clamp(origin + (k + 0.5) * scale - 0.5, 0.0, double(inLen - 1));
            const int i0 = std::min(int(x), inLen - 1);
            const int i1 = std::min(i0 + 1, inLen - 1);
            const int w1 = int(std::lround((x - i0) * kOne));
            t.start[k] = i0;
            if (i1 == i0 || w1 == 0) {
                t.count[k] = 1;
                t.weights.push_back(kOne);
            } else {
                t.count[k] = 2;
                t.weights.push_back(kOne - w1);
                t.weights.push_back(w1);
            }
        }
    }
    return t;
}

// Rounding the vertical sums to kMidBits, and the horizontal ones to bytes.
constexpr int kMidShift = kWeightBits - kMidBits;
constexpr std::int32_t kMidRound = 1 << (kMidShift - 1);
constexpr int kOutShift = kWeightBits + kMidBits;
constexpr std::int32_t kOutRound = 1 << (kOutShift - 1);

// The vertical pass for one output row: mid[c] is the weighted sum of
// rows[i][c] over the count source rows, rounded to kMidBits fraction bits,
// for the bytes [from, n) of the row. Runs in strips, so that the sums stay
// in the first-level cache.
void verticalPlain(std::uint16_t *mid, const std::uint8_t *const *rows, const std::int32_t *w, int count, int from,
                   int n)
{
    constexpr int kStrip = 1024;
    std::int32_t acc[kStrip];
    for (int c0 = from; c0 < n; c0 += kStrip) {
        const int m = std::min(kStrip, n - c0);
        std::fill(acc, acc + m, 0);
        for (int i = 0; i < count; ++i) {
            const std::uint8_t *__restrict row = rows[i] + c0;
            for (int c = 0; c < m; ++c)
                acc[c] += w[i] * row[c];
        }
        for (int c = 0; c < m; ++c)
            mid[c0 + c] = std::uint16_t((acc[c] + kMidRound) >> kMidShift);
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define PV_RESAMPLE_AVX2 1

// The same sums with AVX2: two source rows at a time, their bytes
// interleaved and multiplied by the two weights in one step (pmaddwd;
// weights are at most 2^14 and pixels at most 255, so the pairs fit), with
// 32 bytes of sums kept in registers over all the rows.
__attribute__((target("avx2"))) void verticalAvx2(std::uint16_t *mid, const std::uint8_t *const *rows,
                                                  const std::int32_t *w, int count, int n)
{
    const __m256i round = _mm256_set1_epi32(kMidRound);
    int c = 0;
    for (; c + 32 <= n; c += 32) {
        __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0;
        for (int i = 0; i < count; i += 2) {
            const bool pair = i + 1 < count;
            const __m256i wp = _mm256_set1_epi32(int((std::uint32_t(pair ? w[i + 1] : 0) << 16) |
                                                     (std::uint32_t(w[i]) & 0xffffu)));
            const std::uint8_t *r0 = rows[i] + c;
            const std::uint8_t *r1 = pair ? rows[i + 1] + c : r0;
            for (int h = 0; h < 2; ++h) {
                const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r0 + 16 * h));
                const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r1 + 16 * h));
                const __m256i lo = _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(x0, x1)), wp);
                const __m256i hi = _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm_unpackhi_epi8(x0, x1)), wp);
                if (h == 0) {
                    s0 = _mm256_add_epi32(s0, lo);
                    s1 = _mm256_add_epi32(s1, hi);
                } else {
                    s2 = _mm256_add_epi32(s2, lo);
                    s3 = _mm256_add_epi32(s3, hi);
                }
            }
        }
        for (int h = 0; h < 2; ++h) {
            const __m256i a = _mm256_srai_epi32(_mm256_add_epi32(h ? s2 : s0, round), kMidShift);
            const __m256i b = _mm256_srai_epi32(_mm256_add_epi32(h ? s3 : s1, round), kMidShift);
            // packus works within 128-bit halves; the permute puts the four
            // quarters back in order.
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(mid + c + 16 * h),
                                _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xd8));
        }
    }
    verticalPlain(mid, rows, w, count, c, n);
}
#endif

void vertical(std::uint16_t *mid, const std::uint8_t *const *rows, const std::int32_t *w, int count, int n)
{
#ifdef PV_RESAMPLE_AVX2
    if (vectorKernels())
        return verticalAvx2(mid, rows, w, count, n);
#endif
    verticalPlain(mid, rows, w, count, 0, n);
}

// The horizontal pass for one output row: each output pixel is the weighted
// sum of the vertical pass's pixels it covers, starting at start[x] - from.
// With `alpha` the fourth byte is averaged too (premultiplied pixels);
// otherwise it is opaque.
void horizontalPlain(QRgb *out, const std::uint16_t *mid, const Taps &tx, int from, int keepW, bool alpha)
{
    for (int x = 0; x < keepW; ++x) {
        const std::uint16_t *p = mid + size_t(tx.start[x] - from) * 4;
        const std::int32_t *wx = tx.weights.data() + tx.first[x];
        std::int32_t sb = 0, sg = 0, sr = 0, sa = 0;
        for (int i = 0; i < tx.count[x]; ++i, p += 4) {
            sb += wx[i] * p[0];
            sg += wx[i] * p[1];
            sr += wx[i] * p[2];
            sa += wx[i] * p[3];
        }
        const int r = std::min(255, (sr + kOutRound) >> kOutShift);
        const int g = std::min(255, (sg + kOutRound) >> kOutShift);
        const int b = std::min(255, (sb + kOutRound) >> kOutShift);
        const int a = alpha ? std::min(255, (sa + kOutRound) >> kOutShift) : 255;
        out[x] = qRgba(r, g, b, a);
    }
}

#ifdef PV_RESAMPLE_AVX2
// The same with two source pixels at a time: their channels interleaved
// and multiplied by the two weights in one step. The vertical pass's
// values are below 2^15, so the pairs fit. Reads up to one pixel past the
// last tap, which the caller's buffer provides.
__attribute__((target("avx2"))) void horizontalAvx2(QRgb *out, const std::uint16_t *mid, const Taps &tx, int from,
                                                    int keepW, bool alpha)
{
    const QRgb opaque = alpha ? 0u : 0xff000000u;
    // b0 b1 g0 g1 r0 r1 a0 a1, as 16-bit values.
    const __m128i interleave = _mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    const __m128i round = _mm_set1_epi32(kOutRound);
    for (int x = 0; x < keepW; ++x) {
        const std::uint16_t *p = mid + size_t(tx.start[x] - from) * 4;
        const std::int32_t *wx = tx.weights.data() + tx.first[x];
        const int count = tx.count[x];
        __m128i sum = _mm_setzero_si128();
        for (int i = 0; i < count; i += 2, p += 8) {
            const std::uint32_t w1 = i + 1 < count ? std::uint32_t(wx[i + 1]) : 0;
            const __m128i wp = _mm_set1_epi32(int((w1 << 16) | (std::uint32_t(wx[i]) & 0xffffu)));
            const __m128i two = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), interleave);
            sum = _mm_add_epi32(sum, _mm_madd_epi16(two, wp));
        }
        sum = _mm_srai_epi32(_mm_add_epi32(sum, round), kOutShift);
        const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(sum, sum), _mm_setzero_si128());
        out[x] = QRgb(_mm_cvtsi128_si32(bytes)) | opaque;
    }
}
#endif

void horizontal(QRgb *out, const std::uint16_t *mid, const Taps &tx, int from, int keepW, bool alpha)
{
#ifdef PV_RESAMPLE_AVX2
    if (vectorKernels())
        return horizontalAvx2(out, mid, tx, from, keepW, alpha);
#endif
    horizontalPlain(out, mid, tx, from, keepW, alpha);
}

} // namespace

QImage resample(const QImage &src, int outW, int outH, const Work &work)
{
    return resampleRegion(src, QRectF(0, 0, src.width(), src.height()), outW, outH, work);
}

QImage resampleRegion(const QImage &srcIn, const QRectF &region, int outW, int outH, const Work &work, int keepW,
                      int keepH)
{
    keepW = keepW < 0 ? outW : std::min(keepW, outW);
    keepH = keepH < 0 ? outH : std::min(keepH, outH);
    if (srcIn.isNull() || outW <= 0 || outH <= 0 || keepW <= 0 || keepH <= 0 || !(region.width() > 0) ||
        !(region.height() > 0))
        return QImage();
    // Transparent pixels are averaged premultiplied by their alpha, so that
    // the colour under a transparent pixel counts for nothing.
    const bool alpha = srcIn.hasAlphaChannel();
    const QImage::Format format = alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    const QImage src = srcIn.format() == format ? srcIn : srcIn.convertToFormat(format);
    const int inW = src.width();
    const int inH = src.height();
    const Taps tx = makeTaps(inW, outW, keepW, region.x(), region.width());
    const Taps ty = makeTaps(inH, outH, keepH, region.y(), region.height());

    // Each output row is made on its own: the vertical pass combines the
    // source rows it covers, all four bytes of every pixel at once, keeping
    // 7 extra bits; the horizontal pass then combines columns of that one
    // row. Helper threads take equal shares of the rows.
    QImage result = allocateImage(keepW, keepH, format);
    // Rows are reached through plain pointers: two threads must not touch
    // the same QImage.
    uchar *const resultBits = result.bits();
    const qsizetype resultStride = result.bytesPerLine();
    const int colFrom = tx.start.front();
    int colTo = 0;
    for (int k = 0; k < keepW; ++k)
        colTo = std::max(colTo, tx.start[k] + tx.count[k]);
    const int lanes = (colTo - colFrom) * 4;
    int maxCount = 0;
    for (int k = 0; k < keepH; ++k)
        maxCount = std::max(maxCount, ty.count[k]);
    splitRows(work, keepH, qint64(inW) * inH, [&](int from, int to) {
        // One pixel more than the pass fills, for the pairs of the
        // horizontal pass; its weight is zero.
        std::vector<std::uint16_t> mid(static_cast<size_t>(lanes) + 4);
        std::vector<const std::uint8_t *> rows(static_cast<size_t>(maxCount));
        for (int k = from; k < to; ++k) {
            for (int i = 0; i < ty.count[k]; ++i)
                rows[size_t(i)] = src.constScanLine(ty.start[k] + i) + size_t(colFrom) * 4;
            vertical(mid.data(), rows.data(), ty.weights.data() + ty.first[k], ty.count[k], lanes);

            horizontal(reinterpret_cast<QRgb *>(resultBits + resultStride * k), mid.data(), tx, colFrom, keepW, alpha);
        }
    });
    return result;
}

} // namespace pv
