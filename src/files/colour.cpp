#include "files/colour.h"


#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <lcms2.h>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace pv {

namespace {

// Little CMS objects, released with their owners.
struct ContextDeleter {
    void operator()(_cmsContext_struct *c) const { cmsDeleteContext(c); }
};
struct ProfileDeleter {
    void operator()(void *p) const { cmsCloseProfile(p); }
};
struct TransformDeleter {
    void operator()(void *t) const { cmsDeleteTransform(t); }
};
using Context = std::unique_ptr<_cmsContext_struct, ContextDeleter>;
using Profile = std::unique_ptr<void, ProfileDeleter>;
using Transform = std::unique_ptr<void, TransformDeleter>;

// RGB profiles built from three curves and a matrix: linearise each channel
// by a table, mix by the matrix into linear sRGB, encode by a table. Fixed
// point with 14 fractional bits, as Little CMS's own 8-bit matrix path.
class MatrixShaper final : public ToSrgb {
public:
    static constexpr int kOne = 1 << 14;
    // Linear light in 14 fractional bits to sRGB's 8; padded, as the vector
    // kernel reads four bytes at a time.
    using Encoding = std::array<std::uint8_t, kOne + 1 + 3>;

    static std::optional<Encoding> srgbEncoding(cmsHPROFILE srgb)
    {
        const auto *curve = static_cast<const cmsToneCurve *>(cmsReadTag(srgb, cmsSigRedTRCTag));
        cmsToneCurve *encode = curve ? cmsReverseToneCurve(curve) : nullptr;
        if (!encode)
            return std::nullopt;
        Encoding out{};
        for (int i = 0; i <= kOne; ++i) {
            const double e = std::clamp<double>(cmsEvalToneCurveFloat(encode, float(double(i) / kOne)), 0.0, 1.0);
            out[size_t(i)] = std::uint8_t(std::lround(e * 255.0));
        }
        cmsFreeToneCurve(encode);
        return out;
    }

    // Nothing when the profile is not such a profile.
    static std::unique_ptr<MatrixShaper> from(cmsHPROFILE source, cmsHPROFILE srgb)
    {
        if (!cmsIsMatrixShaper(source) || !cmsIsMatrixShaper(srgb))
            return nullptr;
        auto made = std::make_unique<MatrixShaper>();
        MatrixShaper &m = *made;
        const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
        const cmsTagSignature columns[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
        double src[3][3], dst[3][3];
        for (int c = 0; c < 3; ++c) {
            const auto *curve = static_cast<const cmsToneCurve *>(cmsReadTag(source, curves[c]));
            const auto *column = static_cast<const cmsCIEXYZ *>(cmsReadTag(source, columns[c]));
            const auto *srgbColumn = static_cast<const cmsCIEXYZ *>(cmsReadTag(srgb, columns[c]));
            if (!curve || !column || !srgbColumn)
                return nullptr;
            for (int v = 0; v < 256; ++v) {
                const double lin = std::clamp<double>(cmsEvalToneCurveFloat(curve, float(v / 255.0)), 0.0, 1.0);
                m.m_in[c][v] = int(std::lround(lin * kOne));
            }
            src[0][c] = column->X, src[1][c] = column->Y, src[2][c] = column->Z;
            dst[0][c] = srgbColumn->X, dst[1][c] = srgbColumn->Y, dst[2][c] = srgbColumn->Z;
        }
        double inverse[3][3];
        if (!invert(dst, inverse))
            return nullptr;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double sum = 0;
                for (int k = 0; k < 3; ++k)
                    sum += inverse[i][k] * src[k][j];
                if (!(std::abs(sum) < 1.9))
                    return nullptr; // beyond the fixed-point range
                m.m_matrix[i][j] = int(std::lround(sum * kOne));
            }
        // The way back into sRGB is the same for every profile: made once.
        static const std::optional<Encoding> encoding = srgbEncoding(srgb);
        if (!encoding)
            return nullptr;
        m.m_out = *encoding;
        return made;
    }

    void convertRows(const PixelRows &rows, int first, int last) const override
    {
        for (int y = first; y < last; ++y)
            run(reinterpret_cast<QRgb *>(rows.row(y)), rows.width);
    }

    [[nodiscard]] QRgb map(QRgb p) const
    {
        QRgb out = p;
        run(&out, 1);
        return out;
    }

    void run(QRgb *px, qint64 n) const
    {
        qint64 done = 0;
        if (vectorKernels())
            done = runAvx2(px, n);
        runPlain(px + done, n - done);
    }

private:
    void runPlain(QRgb *px, qint64 n) const
    {
        // Everything in locals: the pixels written could otherwise alias the
        // tables, and every coefficient would be loaded again per pixel.
        const int m00 = m_matrix[0][0], m01 = m_matrix[0][1], m02 = m_matrix[0][2];
        const int m10 = m_matrix[1][0], m11 = m_matrix[1][1], m12 = m_matrix[1][2];
        const int m20 = m_matrix[2][0], m21 = m_matrix[2][1], m22 = m_matrix[2][2];
        const int *inR = m_in[0], *inG = m_in[1], *inB = m_in[2];
        const std::uint8_t *out = m_out.data();
        auto encode = [out](int v) { return QRgb(out[std::clamp((v + kOne / 2) >> 14, 0, kOne)]); };
        for (qint64 i = 0; i < n; ++i) {
            const QRgb p = px[i];
            const int r = inR[(p >> 16) & 0xff], g = inG[(p >> 8) & 0xff], b = inB[p & 0xff];
            px[i] = (p & 0xff000000u) | (encode(m00 * r + m01 * g + m02 * b) << 16) |
                    (encode(m10 * r + m11 * g + m12 * b) << 8) | encode(m20 * r + m21 * g + m22 * b);
        }
    }

    // Eight pixels at a time, the same integer arithmetic as runPlain.
    // Returns how many pixels it did.
    __attribute__((target("avx2"))) qint64 runAvx2(QRgb *px, qint64 n) const
    {
        const __m256i byteMask = _mm256_set1_epi32(0xff);
        const __m256i alphaMask = _mm256_set1_epi32(int(0xff000000u));
        const __m256i half = _mm256_set1_epi32(kOne / 2);
        const __m256i zero = _mm256_setzero_si256();
        const __m256i top = _mm256_set1_epi32(kOne);
        __m256i m[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                m[i][j] = _mm256_set1_epi32(m_matrix[i][j]);
        // The encoding table is read four bytes at a time at byte offsets;
        // its padding keeps the last reads inside it.
        const auto *out = reinterpret_cast<const int *>(m_out.data());
        qint64 i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + i));
            const __m256i r = _mm256_i32gather_epi32(m_in[0], _mm256_and_si256(_mm256_srli_epi32(p, 16), byteMask), 4);
            const __m256i g = _mm256_i32gather_epi32(m_in[1], _mm256_and_si256(_mm256_srli_epi32(p, 8), byteMask), 4);
            const __m256i b = _mm256_i32gather_epi32(m_in[2], _mm256_and_si256(p, byteMask), 4);
            __m256i result = _mm256_and_si256(p, alphaMask);
            for (int c = 0; c < 3; ++c) {
                __m256i v = _mm256_add_epi32(_mm256_mullo_epi32(m[c][0], r), _mm256_mullo_epi32(m[c][1], g));
                v = _mm256_add_epi32(_mm256_add_epi32(v, _mm256_mullo_epi32(m[c][2], b)), half);
                v = _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(v, 14), zero), top);
                const __m256i e = _mm256_and_si256(_mm256_i32gather_epi32(out, v, 1), byteMask);
                result = _mm256_or_si256(result, _mm256_slli_epi32(e, 16 - 8 * c));
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(px + i), result);
        }
        return i;
    }

public:
    // True when no colour changes: every grey, every pure channel and a
    // grid through the cube map to themselves.
    [[nodiscard]] bool isIdentity() const
    {
        for (int v = 0; v < 256; ++v)
            for (QRgb p : {qRgb(v, v, v), qRgb(v, 0, 0), qRgb(0, v, 0), qRgb(0, 0, v)})
                if (map(p) != p)
                    return false;
        for (int r = 0; r < 256; r += 17)
            for (int g = 0; g < 256; g += 17)
                for (int b = 0; b < 256; b += 17)
                    if (const QRgb p = qRgb(r, g, b); map(p) != p)
                        return false;
        return true;
    }

private:
    static bool invert(const double a[3][3], double out[3][3])
    {
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        if (!(std::abs(det) > 1e-9))
            return false;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
                out[i][j] = (a[i1][j1] * a[i2][j2] - a[i1][j2] * a[i2][j1]) / det;
            }
        return true;
    }

    int m_in[3][256] = {};
    int m_matrix[3][3] = {};
    Encoding m_out{};
};

// Everything else through Little CMS, a row at a time.
class LittleCms final : public ToSrgb {
public:
    // The transform is made without Little CMS's one-pixel cache, so that
    // threads may share it.
    LittleCms(Context context, Profile source, Profile srgb, PixelLayout layout, cmsUInt32Number intent)
        : m_context(std::move(context)), m_source(std::move(source)), m_srgb(std::move(srgb)),
          m_cmyk(layout == PixelLayout::Cmyk || layout == PixelLayout::CmykInverted)
    {
        const cmsUInt32Number in = !m_cmyk ? TYPE_BGRA_8
                                   : layout == PixelLayout::CmykInverted ? TYPE_CMYK_8_REV
                                                                         : TYPE_CMYK_8;
        const cmsUInt32Number flags = cmsFLAGS_NOCACHE | (m_cmyk ? 0 : cmsFLAGS_COPY_ALPHA);
        m_transform.reset(cmsCreateTransformTHR(m_context.get(), m_source.get(), in, m_srgb.get(), TYPE_BGRA_8,
                                                intent, flags));
    }
    [[nodiscard]] bool ok() const { return bool(m_transform); }

    void convertRows(const PixelRows &rows, int first, int last) const override
    {
        const int w = rows.width;
        std::vector<uchar> row(size_t(w) * 4);
        for (int y = first; y < last; ++y) {
            uchar *line = rows.row(y);
            std::memcpy(row.data(), line, row.size());
            cmsDoTransform(m_transform.get(), row.data(), line, cmsUInt32Number(w));
            if (m_cmyk)
                for (int x = 0; x < w; ++x)
                    line[4 * x + 3] = 0xff;
        }
    }

private:
    Context m_context;
    Profile m_source;
    Profile m_srgb;
    Transform m_transform;
    bool m_cmyk;
};

// A grey picture through a table of its 256 levels.
class GreyTable final : public ToSrgb {
public:
    // Nothing when the table maps every level to itself.
    static std::unique_ptr<GreyTable> from(cmsContext context, cmsHPROFILE source, cmsHPROFILE srgb,
                                           cmsUInt32Number intent)
    {
        const Transform transform(cmsCreateTransformTHR(context, source, TYPE_GRAY_8, srgb, TYPE_RGB_8, intent, 0));
        if (!transform)
            return nullptr;
        std::uint8_t levels[256], rgb[256 * 3];
        for (int v = 0; v < 256; ++v)
            levels[v] = std::uint8_t(v);
        cmsDoTransform(transform.get(), levels, rgb, 256);
        auto made = std::make_unique<GreyTable>();
        bool identity = true;
        for (int v = 0; v < 256; ++v) {
            made->m_table[v] = qRgb(rgb[3 * v], rgb[3 * v + 1], rgb[3 * v + 2]) & 0xffffffu;
            identity = identity && made->m_table[v] == (qRgb(v, v, v) & 0xffffffu);
        }
        return identity ? nullptr : std::move(made);
    }

    void convertRows(const PixelRows &rows, int first, int last) const override
    {
        for (int y = first; y < last; ++y) {
            auto *px = reinterpret_cast<QRgb *>(rows.row(y));
            for (int x = 0; x < rows.width; ++x)
                px[x] = (px[x] & 0xff000000u) | m_table[qBlue(px[x])];
        }
    }

private:
    QRgb m_table[256] = {};
};

// Whether an RGB profile is sRGB as cameras, editors and systems write it
// (HP's v2 profile with its tabulated curves, the ICC's and colord's v4
// ones with parametric curves, Little CMS's own), as browsers tell it: its
// colorants within 0.001 of sRGB's, and every one of the 256 levels
// within half a level of itself through its curve and back through sRGB's.
// Such a picture's pixels are left as they are, at no cost.
bool equalToSrgb(cmsHPROFILE source, cmsHPROFILE srgb)
{
    if (!cmsIsMatrixShaper(source))
        return false;
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    const cmsTagSignature columns[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    const auto *srgbCurve = static_cast<const cmsToneCurve *>(cmsReadTag(srgb, cmsSigRedTRCTag));
    if (!srgbCurve)
        return false;
    std::unique_ptr<cmsToneCurve, void (*)(cmsToneCurve *)> encode(cmsReverseToneCurve(srgbCurve), cmsFreeToneCurve);
    if (!encode)
        return false;
    for (int c = 0; c < 3; ++c) {
        const auto *column = static_cast<const cmsCIEXYZ *>(cmsReadTag(source, columns[c]));
        const auto *srgbColumn = static_cast<const cmsCIEXYZ *>(cmsReadTag(srgb, columns[c]));
        const auto *curve = static_cast<const cmsToneCurve *>(cmsReadTag(source, curves[c]));
        if (!column || !srgbColumn || !curve)
            return false;
        if (!(std::abs(column->X - srgbColumn->X) <= 0.001 && std::abs(column->Y - srgbColumn->Y) <= 0.001 &&
              std::abs(column->Z - srgbColumn->Z) <= 0.001))
            return false;
        for (int v = 0; v < 256; ++v) {
            const float linear = cmsEvalToneCurveFloat(curve, float(v / 255.0));
            const double back = double(cmsEvalToneCurveFloat(encode.get(), linear)) * 255.0;
            if (!(std::abs(back - v) <= 0.5))
                return false;
        }
    }
    return true;
}

} // namespace

namespace {
thread_local KeepColours *t_keepColours = nullptr;
} // namespace

KeepColours::KeepColours() : m_outer(t_keepColours) { t_keepColours = this; }
KeepColours::~KeepColours() { t_keepColours = m_outer; }
bool KeepColours::active() { return t_keepColours != nullptr; }
void KeepColours::offer(const QByteArray &icc)
{
    if (t_keepColours && !icc.isEmpty())
        t_keepColours->profile = icc;
}

std::unique_ptr<ToSrgb> ToSrgb::from(const QByteArray &icc, PixelLayout layout)
{
    if (icc.isEmpty())
        return nullptr;
    Context context(cmsCreateContext(nullptr, nullptr));
    if (!context)
        return nullptr;
    Profile source(cmsOpenProfileFromMemTHR(context.get(), icc.constData(), cmsUInt32Number(icc.size())));
    Profile srgb(cmsCreate_sRGBProfileTHR(context.get()));
    if (!source || !srgb)
        return nullptr;
    // Read as a number: a damaged header may hold a value of no colour space.
    const auto space = static_cast<cmsUInt32Number>(cmsGetColorSpace(source.get()));
    const bool cmyk = layout == PixelLayout::Cmyk || layout == PixelLayout::CmykInverted;
    const bool fits = (space == cmsSigRgbData && layout == PixelLayout::Rgb) ||
                      (space == cmsSigGrayData && layout == PixelLayout::Grey) || (space == cmsSigCmykData && cmyk);
    if (!fits)
        return nullptr;
    if (t_keepColours && space == cmsSigRgbData) {
        t_keepColours->profile = icc;
        return nullptr;
    }
    const cmsUInt32Number intent = cmsGetHeaderRenderingIntent(source.get());
    if (space == cmsSigGrayData)
        return GreyTable::from(context.get(), source.get(), srgb.get(), intent);
    if (space == cmsSigRgbData && equalToSrgb(source.get(), srgb.get()))
        return nullptr;
    if (space == cmsSigRgbData && intent != INTENT_ABSOLUTE_COLORIMETRIC) {
        // Curves and a matrix have no separate perceptual or saturation
        // rendering: every intent but the absolute one is colorimetric.
        std::unique_ptr<MatrixShaper> fast = MatrixShaper::from(source.get(), srgb.get());
        if (fast && fast->isIdentity())
            return nullptr;
        if (fast)
            return fast;
    }
    auto general = std::make_unique<LittleCms>(std::move(context), std::move(source), std::move(srgb), layout, intent);
    if (!general->ok())
        return nullptr;
    return general;
}

void ToSrgb::convert(QImage &image, const Work &work) const
{
    const PixelRows rows(image);
    splitRows(work, rows.height, qint64(rows.width) * rows.height,
              [&](int first, int last) { convertRows(rows, first, last); });
}

void ConvertBehind::filled(int rows)
{
    m_filled.store(rows, std::memory_order_release);
    m_filled.notify_all();
}

void ConvertBehind::stop()
{
    // A waiter wakes only for a changed value.
    m_stopped.store(true);
    m_filled.store(INT_MAX);
    m_filled.notify_all();
}

void ConvertBehind::work()
{
    for (;;) {
        const int first = m_nextBand.fetch_add(1) * kBand;
        if (first >= m_rows.height)
            return;
        const int last = std::min(m_rows.height, first + kBand);
        int done = m_filled.load(std::memory_order_acquire);
        while (done < last && !m_stopped.load()) {
            m_filled.wait(done, std::memory_order_acquire);
            done = m_filled.load(std::memory_order_acquire);
        }
        if (m_stopped.load())
            return;
        m_toSrgb.convertRows(m_rows, first, last);
    }
}

bool convertToSrgb(QImage &image, const QByteArray &icc, PixelLayout layout, const Work &work)
{
    if (image.isNull() || image.depth() != 32)
        return false;
    const std::unique_ptr<ToSrgb> converter = ToSrgb::from(icc, layout);
    if (converter)
        converter->convert(image, work);
    return bool(converter);
}

} // namespace pv
