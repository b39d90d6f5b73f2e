#pragma once
// Everything modal goes through Dialogs: the program passes the Qt dialogs,
// tests and the scenario runner pass a scripted stand-in.

#include "input/messages.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace pv {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A message box with a single OK button.
    virtual void message(const Message &m) = 0;
    // The one question: Yes and No, No the default, question icon.
    // True for Yes.
    virtual bool question(const QString &text, const QString &title) = 0;
    // A file dialog; `filter` is "description|patterns". Empty when cancelled.
    enum class FileKind { Open, Save };
    virtual std::optional<QString> file(FileKind kind, const QString &filter, const QString &fileName) = 0;
};

// The one file dialog of the window: its filter and file name are kept
// between uses, as in the open and save steps that share it.
class CommonDialog {
public:
    explicit CommonDialog(Dialogs &dialogs) : m_dialogs(dialogs) {}

    QString Filter;
    QString FileName;
    bool CancelError = false;

    // Show the dialog; false when cancelled (with CancelError set, a cancel
    // is the caller's error path), FileName updated otherwise.
    bool ShowOpen() { return show(Dialogs::FileKind::Open); }
    bool ShowSave() { return show(Dialogs::FileKind::Save); }

private:
    bool show(Dialogs::FileKind kind);
    Dialogs &m_dialogs;
};

// Splits "description|pattern; pattern" into the description and the
// patterns, blanks and empty pieces dropped.
struct FilterParts {
    QString description;
    QStringList patterns;
};
[[nodiscard]] FilterParts splitFilter(const QString &filter);

} // namespace pv
