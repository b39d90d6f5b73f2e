#include "surfaces/resample.h"

#include "surfaces/surface.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

namespace pv {

namespace {

// Pixels are read as bytes: B, G, R, then the unused alpha.
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "QRgb byte order assumed little-endian");

constexpr int kWeightBits = 14;
constexpr int kOne = 1 << kWeightBits;
// The horizontal pass keeps 7 fractional bits per channel.
constexpr int kMidBits = 7;

struct Taps {
    std::vector<int> start; // first source index of each output
    std::vector<int> count; // number of source pixels
    std::vector<int> first; // index into weights
    std::vector<std::int32_t> weights;
};

// Fixed-point weights for keep outputs of an axis scaled from inLen to outLen.
Taps makeTaps(int inLen, int outLen, int keep)
{
    Taps t;
    t.start.resize(keep);
    t.count.resize(keep);
    t.first.resize(keep);
    const double scale = double(inLen) / double(outLen);
    for (int k = 0; k < keep; ++k) {
        t.first[k] = int(t.weights.size());
        if (outLen < inLen) {
            // Area: output k covers [k * scale, (k + 1) * scale) of the source.
            const double a = k * scale;
            const double b = std::min(double(inLen), (k + 1) * scale);
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
            const double x = std::clamp((k + 0.5) * scale - 0.5, 0.0, double(inLen - 1));
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

// a[c] += w * row[c]: the inner loop of the vertical pass, built for AVX2
// as well where the compiler can, and picked at run time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void accumulate(std::int32_t *__restrict a, const std::uint8_t *__restrict row, int n, std::int32_t w)
{
    for (int c = 0; c < n; ++c)
        a[c] += w * row[c];
}

// Runs body(from, to) over [0, n) on up to two threads when n is large.
template <typename Body>
void forRows(int n, long long work, Body body)
{
    if (work < 2'000'000 || n < 2 || std::thread::hardware_concurrency() < 2) {
        body(0, n);
        return;
    }
    const int half = n / 2;
    std::thread other([&] { body(half, n); });
    body(0, half);
    other.join();
}

} // namespace

QImage resample(const QImage &srcIn, int outW, int outH, int keepW, int keepH)
{
    keepW = keepW < 0 ? outW : std::min(keepW, outW);
    keepH = keepH < 0 ? outH : std::min(keepH, outH);
    if (srcIn.isNull() || outW <= 0 || outH <= 0 || keepW <= 0 || keepH <= 0)
        return QImage();
    const QImage src = srcIn.format() == QImage::Format_RGB32 ? srcIn
                                                               : srcIn.convertToFormat(QImage::Format_RGB32);
    const int inW = src.width();
    const int inH = src.height();
    const Taps tx = makeTaps(inW, outW, keepW);
    const Taps ty = makeTaps(inH, outH, keepH);

    // Each output row is made on its own: the vertical pass combines the
    // source rows it covers, all four bytes of every pixel at once (a loop
    // the compiler vectorises), keeping 7 extra bits; the horizontal pass
    // then combines columns of that one row. Two threads take half of the
    // rows each.
    QImage result = allocateImage(keepW, keepH);
    const int colFrom = tx.start.front();
    int colTo = 0;
    for (int k = 0; k < keepW; ++k)
        colTo = std::max(colTo, tx.start[k] + tx.count[k]);
    const int lanes = (colTo - colFrom) * 4;
    // The vertical pass runs in strips, so that its sums stay in the
    // first-level cache.
    constexpr int kStrip = 1024;
    forRows(keepH, (long long)inW * inH, [&](int from, int to) {
        std::vector<std::int32_t> acc(static_cast<size_t>(std::min(lanes, kStrip)));
        std::vector<std::uint16_t> mid(static_cast<size_t>(lanes));
        for (int k = from; k < to; ++k) {
            const std::int32_t *wy = ty.weights.data() + ty.first[k];
            constexpr int midShift = kWeightBits - kMidBits;
            for (int c0 = 0; c0 < lanes; c0 += kStrip) {
                const int n = std::min(kStrip, lanes - c0);
                std::int32_t *__restrict a = acc.data();
                std::fill(a, a + n, 0);
                for (int i = 0; i < ty.count[k]; ++i) {
                    const std::uint8_t *__restrict row =
                        src.constScanLine(ty.start[k] + i) + size_t(colFrom) * 4 + c0;
                    accumulate(a, row, n, wy[i]);
                }
                std::uint16_t *__restrict m = mid.data() + c0;
                for (int c = 0; c < n; ++c)
                    m[c] = std::uint16_t((a[c] + (1 << (midShift - 1))) >> midShift);
            }

            constexpr int shift = kWeightBits + kMidBits;
            auto *out = reinterpret_cast<QRgb *>(result.scanLine(k));
            for (int x = 0; x < keepW; ++x) {
                const std::uint16_t *p = mid.data() + size_t(tx.start[x] - colFrom) * 4;
                const std::int32_t *wx = tx.weights.data() + tx.first[x];
                std::int32_t sb = 0, sg = 0, sr = 0;
                for (int i = 0; i < tx.count[x]; ++i, p += 4) {
                    sb += wx[i] * p[0];
                    sg += wx[i] * p[1];
                    sr += wx[i] * p[2];
                }
                const int r = std::min(255, (sr + (1 << (shift - 1))) >> shift);
                const int g = std::min(255, (sg + (1 << (shift - 1))) >> shift);
                const int b = std::min(255, (sb + (1 << (shift - 1))) >> shift);
                out[x] = qRgb(r, g, b);
            }
        }
    });
    return result;
}

} // namespace pv
