#include "app/dialogs.h"

namespace pv {

bool CommonDialog::show(Dialogs::FileKind kind)
{
    const std::optional<QString> chosen = m_dialogs.file(kind, Filter, FileName);
    if (!chosen)
        return false;
    FileName = *chosen;
    return true;
}

FilterParts splitFilter(const QString &filter)
{
    const qsizetype bar = filter.indexOf(u'|');
    FilterParts parts;
    parts.description = (bar < 0 ? filter : filter.left(bar)).trimmed();
    if (bar >= 0) {
        for (const QString &piece : filter.mid(bar + 1).split(u';')) {
            const QString p = piece.trimmed();
            if (!p.isEmpty())
                parts.patterns << p;
        }
    }
    return parts;
}

} // namespace pv
