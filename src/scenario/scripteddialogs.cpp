#include "scenario/scripteddialogs.h"

namespace pv {

void ScriptedDialogs::message(const Message &m)
{
    m_shown.append({Shown::Kind::Message, m.text, m.title, m.icon, QString()});
}

bool ScriptedDialogs::question(const QString &text, const QString &title)
{
    m_shown.append({Shown::Kind::Question, text, title, Icon::Question, QString()});
    if (m_questions.empty())
        return false;
    const bool yes = m_questions.front();
    m_questions.pop_front();
    return yes;
}

std::optional<QString> ScriptedDialogs::file(FileKind kind, const QString &filter, const QString &fileName)
{
    const bool open = kind == FileKind::Open;
    m_shown.append({open ? Shown::Kind::Open : Shown::Kind::Save, filter, QString(), Icon::Critical, fileName});
    auto &queue = open ? m_open : m_save;
    if (queue.empty())
        return std::nullopt;
    if (!queue.front()) {
        queue.pop_front();
        return std::nullopt;
    }
    const QString answer = *queue.front();
    queue.pop_front();
    return answer;
}

QList<ScriptedDialogs::Shown> ScriptedDialogs::take()
{
    QList<Shown> out;
    out.swap(m_shown);
    return out;
}

} // namespace pv
