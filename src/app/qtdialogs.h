#pragma once

#include "app/dialogs.h"

#include <memory>

class QFileDialog;
class QMessageBox;
class QWidget;

namespace pv {

// The real dialogs, modal over `parent`.
class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(QWidget *parent) : m_parent(parent) {}
    void message(const Message &m) override;
    bool question(const QString &text, const QString &title) override;
    std::optional<QString> file(FileKind kind, const QString &filter, const QString &fileName) override;

    // The dialogs as they are shown, not yet shown.
    [[nodiscard]] static std::unique_ptr<QMessageBox> messageBox(const Message &m, QWidget *parent);
    [[nodiscard]] static std::unique_ptr<QMessageBox> questionBox(const QString &text, const QString &title,
                                                                  QWidget *parent);
    [[nodiscard]] static std::unique_ptr<QFileDialog> fileDialog(FileKind kind, const QString &filter,
                                                                 const QString &fileName, QWidget *parent);

private:
    QWidget *m_parent;
};

} // namespace pv
