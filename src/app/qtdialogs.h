#pragma once

#include "app/dialogs.h"

class QWidget;

namespace pv {

// The real dialogs, modal over `parent`.
class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(QWidget *parent) : m_parent(parent) {}
    void message(const Message &m) override;
    bool question(const QString &text, const QString &title) override;
    std::optional<QString> file(FileKind kind, const QString &filter, const QString &fileName) override;

private:
    QWidget *m_parent;
};

} // namespace pv
