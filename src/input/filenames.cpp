#include "input/filenames.h"

namespace pv {

namespace {

constexpr char16_t kEscapeBase = 0xdc00;

bool isContinuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// The length of the valid UTF-8 sequence at `p` (of `left` bytes) and its
// code point, or 0 when it is not one.
int sequence(const unsigned char *p, qsizetype left, char32_t &code)
{
    const unsigned char c = p[0];
    int n = 0;
    char32_t min = 0;
    if (c < 0x80) {
        code = c;
        return 1;
    }
    if ((c & 0xe0) == 0xc0) {
        n = 2, code = c & 0x1f, min = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        n = 3, code = c & 0x0f, min = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
        n = 4, code = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (left < n)
        return 0;
    for (int i = 1; i < n; ++i) {
        if (!isContinuation(p[i]))
            return 0;
        code = (code << 6) | (p[i] & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return n;
}

} // namespace

QString nameFromBytes(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size;) {
        char32_t code = 0;
        const int n = sequence(p + i, size - i, code);
        if (n == 0) {
            out += QChar(char16_t(kEscapeBase + p[i]));
            ++i;
            continue;
        }
        out += QString::fromUcs4(&code, 1);
        i += n;
    }
    return out;
}

QByteArray bytesOfName(const QString &name)
{
    QByteArray out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xff) {
            out += char(c - kEscapeBase);
            continue;
        }
        qsizetype run = i;
        while (run < name.size() && !(name[run].unicode() >= kEscapeBase + 0x80 && name[run].unicode() <= kEscapeBase + 0xff))
            ++run;
        out += QStringView(name).mid(i, run - i).toUtf8();
        i = run - 1;
    }
    return out;
}

QString shownName(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xff)
            out += QStringLiteral("\\x%1").arg(int(u - kEscapeBase), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace pv
