#include "surfaces/resample.h"

#include "surfaces/surface.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

namespace pv {

namespace {

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

    // Output rows are made in bands: each band runs the horizontal pass over
    // just the source rows it reads (7 extra bits per channel), then the
    // vertical pass. Two threads take half of the bands each.
    QImage result = allocateImage(keepW, keepH);
    constexpr int kBand = 32;
    forRows(keepH, (long long)inW * inH, [&](int from, int to) {
        std::vector<std::uint16_t> band;
        std::vector<std::int32_t> acc(size_t(keepW) * 3);
        for (int k0 = from; k0 < to; k0 += kBand) {
            const int k1 = std::min(to, k0 + kBand);
            int rowFrom = ty.start[k0], rowTo = 0;
            for (int k = k0; k < k1; ++k) {
                rowFrom = std::min(rowFrom, ty.start[k]);
                rowTo = std::max(rowTo, ty.start[k] + ty.count[k]);
            }
            band.resize(size_t(rowTo - rowFrom) * keepW * 3);
            for (int r = rowFrom; r < rowTo; ++r) {
                const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(r));
                std::uint16_t *out = band.data() + size_t(r - rowFrom) * keepW * 3;
                for (int k = 0; k < keepW; ++k) {
                    const QRgb *p = in + tx.start[k];
                    const std::int32_t *w = tx.weights.data() + tx.first[k];
                    std::int32_t sr = 0, sg = 0, sb = 0;
                    for (int i = 0; i < tx.count[k]; ++i) {
                        sr += w[i] * int(qRed(p[i]));
                        sg += w[i] * int(qGreen(p[i]));
                        sb += w[i] * int(qBlue(p[i]));
                    }
                    constexpr int shift = kWeightBits - kMidBits;
                    out[3 * k] = std::uint16_t((sr + (1 << (shift - 1))) >> shift);
                    out[3 * k + 1] = std::uint16_t((sg + (1 << (shift - 1))) >> shift);
                    out[3 * k + 2] = std::uint16_t((sb + (1 << (shift - 1))) >> shift);
                }
            }
            for (int k = k0; k < k1; ++k) {
                std::fill(acc.begin(), acc.end(), 0);
                const std::int32_t *w = ty.weights.data() + ty.first[k];
                for (int i = 0; i < ty.count[k]; ++i) {
                    const std::uint16_t *row = band.data() + size_t(ty.start[k] + i - rowFrom) * keepW * 3;
                    const std::int32_t wi = w[i];
                    for (int c = 0; c < keepW * 3; ++c)
                        acc[c] += wi * row[c];
                }
                constexpr int shift = kWeightBits + kMidBits;
                auto *out = reinterpret_cast<QRgb *>(result.scanLine(k));
                for (int c = 0; c < keepW; ++c) {
                    const int r = std::min(255, (acc[3 * c] + (1 << (shift - 1))) >> shift);
                    const int g = std::min(255, (acc[3 * c + 1] + (1 << (shift - 1))) >> shift);
                    const int b = std::min(255, (acc[3 * c + 2] + (1 << (shift - 1))) >> shift);
                    out[c] = qRgb(r, g, b);
                }
            }
        }
    });
    return result;
}

} // namespace pv
