#include "scenario/invariants.h"

#include "app/form1.h"
#include "preview/previewrule.h"

#include <QLabel>

namespace pv {

QString checkInvariants(const Form1 &w, const QJsonObject &before, const QJsonObject &after, bool showedMessage)
{
    const EditState &s = w.state();
    if (s.intMotoYoko == 0 || s.intMotoTate == 0) {
        if (s.intEditYoko != 0 || s.intEditTate != 0)
            return QStringLiteral("a current size without an image");
    } else if (s.intEditYoko < 1 || s.intEditTate < 1 || s.intEditYoko > s.intMotoYoko ||
               s.intEditTate > s.intMotoTate) {
        return QStringLiteral("current size %1 x %2 outside 1 x 1 .. %3 x %4")
            .arg(s.intEditYoko).arg(s.intEditTate).arg(s.intMotoYoko).arg(s.intMotoTate);
    }
    const QList<std::pair<QLabel *, int>> readOuts = {{w.lblMotoYoko, s.intMotoYoko},
                                                      {w.lblMotoTate, s.intMotoTate},
                                                      {w.lblEditYoko, s.intEditYoko},
                                                      {w.lblEditTate, s.intEditTate}};
    for (const auto &[label, value] : readOuts)
        if (label->text() != QString::number(value))
            return label->objectName() + QStringLiteral(" shows ") + label->text();

    const QJsonObject preview = after.value("preview").toObject();
    const int pw = preview.value("width").toInt(), ph = preview.value("height").toInt();
    if (pw > kPreviewLimit || ph > kPreviewLimit)
        return QStringLiteral("preview %1 x %2 overflows the box").arg(pw).arg(ph);
    if (s.intEditYoko > 0) {
        const PreviewSize rule = previewSize(s.intEditYoko, s.intEditTate);
        if (pw > rule.width || ph > rule.height)
            return QStringLiteral("preview %1 x %2 larger than the rule's %3 x %4")
                .arg(pw).arg(ph).arg(rule.width).arg(rule.height);
    }
    if (showedMessage) {
        for (const char *key : {"image", "preview", "captions"})
            if (before.value(key) != after.value(key))
                return QStringLiteral("a refused action changed ") + QLatin1String(key);
    }
    return QString();
}

} // namespace pv
