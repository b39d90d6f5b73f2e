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
std::optional<Refusal> checkSize(const QString &w, const QString &h, const Entries &e,
                                 const QString *extra)
{
    using Code = Refusal::Code;
    if (isBlank(w) || isBlank(h) || (extra && isBlank(*extra)))
        return refusal(Code::NotANumber, texts::enterNumber, Icon::Exclamation);
    if (!fncNumCheck(w) || !fncNumCheck(h) || (extra && !fncNumCheck(*extra)))
        return refusal(Code::NotANumber, texts::enterNumber, Icon::Exclamation);
    if (compareDigits(w, e.editYoko) == 0 && compareDigits(h, e.editTate) == 0)
        return refusal(Code::SameSize, texts::sameSize, Icon::Exclamation);
    if (compareDigits(w, 0) <= 0 || compareDigits(h, 0) <= 0)
        return refusal(Code::NotPositive, texts::zeroOrLess, Icon::Exclamation);
    if (compareDigits(w, e.editYoko) > 0 || compareDigits(h, e.editTate) > 0)
        return refusal(Code::NotSmaller, texts::shrinkOnly, Icon::Information);
    return std::nullopt;
}

std::optional<Refusal> checkShrink(const Entries &e)
{
    if (auto r = checkSize(e.yoko, e.tate, e, &e.reSizeValue))
        return r;
    if (!e.edges.up && !e.edges.down)
        return refusal(Refusal::Code::NoUpOrDown, texts::checkUpDown, Icon::Information);
    if (!e.edges.left && !e.edges.right)
        return refusal(Refusal::Code::NoLeftOrRight, texts::checkLeftRight, Icon::Information);
    return std::nullopt;
}

std::optional<Refusal> checkTrim(const Entries &e)
{
    using Code = Refusal::Code;
    if (isBlank(e.dotDelValue) || !fncNumCheck(e.dotDelValue))
        return refusal(Code::NotANumber, texts::enterNumber, Icon::Exclamation);
    if (compareDigits(e.dotDelValue, 0) <= 0)
        return refusal(Code::NotPositive, texts::zeroOrLess, Icon::Exclamation);
    if (!e.edges.up && !e.edges.down && !e.edges.left && !e.edges.right)
        return refusal(Code::NoEdge, texts::noEdgeChecked, Icon::Exclamation);
    return std::nullopt;
}

} // namespace

Entries entriesOf(const Fields &fields, const EditState &state)
{
    Entries e;
    static_cast<Fields &>(e) = fields;
    e.motoYokoCaption = QString::number(state.intMotoYoko);
    e.motoTateCaption = QString::number(state.intMotoTate);
    e.editYoko = state.intEditYoko;
    e.editTate = state.intEditTate;
    return e;
}

bool imageLoaded(const QString &motoYokoCaption, const QString &motoTateCaption)
{
    return !(motoYokoCaption == u"0" && motoTateCaption == u"0");
}

Checked<void> fncInputCheck(EditKind ChkIndex, const Entries &entries)
{
    if (!imageLoaded(entries.motoYokoCaption, entries.motoTateCaption))
        return failure(refusal(Refusal::Code::NotLoaded, texts::loadFirst, Icon::Critical));

    std::optional<Refusal> refused;
    switch (ChkIndex) {
    case EditKind::Shrink:
        refused = checkShrink(entries);
        break;
    case EditKind::Trim:
        refused = checkTrim(entries);
        break;
    case EditKind::CentreCrop:
        refused = checkSize(entries.yoko, entries.tate, entries, nullptr);
        break;
    }
    if (refused)
        return failure(*refused);
    return {};
}

std::int16_t captureValue(const QString &text)
{
    if (text.isEmpty() || !fncNumCheck(text))
        return 0;
    if (compareDigits(text, kMaxValue16) >= 0)
        return kMaxValue16;
    return static_cast<std::int16_t>(text.toInt());
}

void InputInfoInit(EditState &state, const Entries &entries)
{
    state.intDotDelValue = captureValue(entries.dotDelValue);
    state.intInYoko = captureValue(entries.yoko);
    state.intInTate = captureValue(entries.tate);
    state.intReSizeValue = captureValue(entries.reSizeValue);
}

} // namespace pv
