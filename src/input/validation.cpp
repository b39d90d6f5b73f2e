#include "input/validation.h"

#include "edit/rounding.h"


namespace pv {

bool fncNumCheck(const QString &sCheckStr)
{
    bool answer = true;
    for (const QChar c : sCheckStr) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            answer = false;
    }
    return answer;
}

int compareDigits(const QString &digits, std::int64_t value)
{
    if (value < 0)
        return 1;
    qsizetype first = 0;
    while (first < digits.size() - 1 && digits[first] == u'0')
        ++first;
    const QString significant = digits.mid(first);
    const QString other = QString::number(value);
    if (significant.size() != other.size())
        return significant.size() < other.size() ? -1 : 1;
    const int c = significant.compare(other);
    return (c > 0) - (c < 0);
}

namespace {

bool isBlank(const QString &s) { return s.trimmed().isEmpty(); }

// Steps shared by the kinds that take a size: blank, digits, same size,
// zero, larger than the current image.
std::optional<Message> checkSize(const QString &w, const QString &h, const Entries &e,
                                 const QString *extra)
{
    if (isBlank(w) || isBlank(h) || (extra && isBlank(*extra)))
        return errorMessage(texts::enterNumber, Icon::Exclamation);
    if (!fncNumCheck(w) || !fncNumCheck(h) || (extra && !fncNumCheck(*extra)))
        return errorMessage(texts::enterNumber, Icon::Exclamation);
    if (compareDigits(w, e.editYoko) == 0 && compareDigits(h, e.editTate) == 0)
        return errorMessage(texts::sameSize, Icon::Exclamation);
    if (compareDigits(w, 0) <= 0 || compareDigits(h, 0) <= 0)
        return errorMessage(texts::zeroOrLess, Icon::Exclamation);
    if (compareDigits(w, e.editYoko) > 0 || compareDigits(h, e.editTate) > 0)
        return errorMessage(texts::shrinkOnly, Icon::Information);
    return std::nullopt;
}

std::optional<Message> checkShrink(const Entries &e)
{
    if (auto m = checkSize(e.yoko, e.tate, e, &e.reSizeValue))
        return m;
    if (!e.edges.up && !e.edges.down)
        return errorMessage(texts::checkUpDown, Icon::Information);
    if (!e.edges.left && !e.edges.right)
        return errorMessage(texts::checkLeftRight, Icon::Information);
    return std::nullopt;
}

std::optional<Message> checkTrim(const Entries &e)
{
    if (isBlank(e.dotDelValue) || !fncNumCheck(e.dotDelValue))
        return errorMessage(texts::enterNumber, Icon::Exclamation);
    if (compareDigits(e.dotDelValue, 0) <= 0)
        return errorMessage(texts::zeroOrLess, Icon::Exclamation);
    if (!e.edges.up && !e.edges.down && !e.edges.left && !e.edges.right)
        return errorMessage(texts::noEdgeChecked, Icon::Exclamation);
    return std::nullopt;
}

} // namespace

CheckResult inputCheck(int ChkIndex, const Entries &entries)
{
    if (entries.motoYokoCaption == u"0" && entries.motoTateCaption == u"0")
        return {false, errorMessage(texts::loadFirst, Icon::Critical)};

    std::optional<Message> failure;
    switch (ChkIndex) {
    case kShrink:
        failure = checkShrink(entries);
        break;
    case kTrim:
        failure = checkTrim(entries);
        break;
    case kCentreCrop:
        failure = checkSize(entries.yoko, entries.tate, entries, nullptr);
        break;
    default:
        return {false, std::nullopt};
    }
    return {!failure.has_value(), failure};
}

std::int16_t captureValue(const QString &text)
{
    if (text.isEmpty() || !fncNumCheck(text))
        return 0;
    if (compareDigits(text, kMaxValue16) >= 0)
        return kMaxValue16;
    return static_cast<std::int16_t>(text.toInt());
}

void captureFields(EditState &state, const Entries &entries)
{
    state.intDotDelValue = captureValue(entries.dotDelValue);
    state.intInYoko = captureValue(entries.yoko);
    state.intInTate = captureValue(entries.tate);
    state.intReSizeValue = captureValue(entries.reSizeValue);
}

} // namespace pv
