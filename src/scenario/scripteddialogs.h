#pragma once

#include "app/dialogs.h"

#include <QList>
#include <deque>

namespace pv {

// Dialogs that answer from a queue and record what was shown. A dialog or
// question with no answer queued is cancelled or answered No, so nothing
// ever waits for a person.
class ScriptedDialogs final : public Dialogs {
public:
    struct Shown {
        enum class Kind { Message, Question, Open, Save } kind;
        QString text;     // message or question text; file dialogs: the filter
        QString title;
        Icon icon = Icon::Critical;
        QString fileName; // file dialogs: the name it opened with
    };

    void message(const Message &m) override;
    bool question(const QString &text, const QString &title) override;
    std::optional<QString> file(FileKind kind, const QString &filter, const QString &fileName) override;

    // nullopt answers Cancel.
    void queueOpen(std::optional<QString> path) { m_open.push_back(std::move(path)); }
    void queueSave(std::optional<QString> path) { m_save.push_back(std::move(path)); }
    void queueQuestion(bool yes) { m_questions.push_back(yes); }

    // Everything shown since the last take, oldest first.
    QList<Shown> take();
    [[nodiscard]] const QList<Shown> &shown() const { return m_shown; }

private:
    std::deque<std::optional<QString>> m_open, m_save;
    std::deque<bool> m_questions;
    QList<Shown> m_shown;
};

} // namespace pv
