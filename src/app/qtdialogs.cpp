#include "app/qtdialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace pv {

std::unique_ptr<QMessageBox> QtDialogs::messageBox(const Message &m, QWidget *parent)
{
    QMessageBox::Icon icon = QMessageBox::Critical;
    if (m.icon == Icon::Exclamation)
        icon = QMessageBox::Warning;
    else if (m.icon == Icon::Information)
        icon = QMessageBox::Information;
    auto box = std::make_unique<QMessageBox>(icon, m.title, m.text, QMessageBox::Ok, parent);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

std::unique_ptr<QMessageBox> QtDialogs::questionBox(const QString &text, const QString &title, QWidget *parent)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No,
                                             parent);
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

std::unique_ptr<QFileDialog> QtDialogs::fileDialog(FileKind kind, const QString &filter, const QString &fileName,
                                                   QWidget *parent)
{
    const FilterParts parts = splitFilter(filter);
    auto dialog = std::make_unique<QFileDialog>(parent);
    dialog->setNameFilter(parts.description + QStringLiteral(" (") + parts.patterns.join(u' ') + u')');
    dialog->setAcceptMode(kind == FileKind::Open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog->setFileMode(kind == FileKind::Open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // The list shows the description alone; the patterns still match.
    dialog->setOption(QFileDialog::HideNameFilterDetails, true);
    // The program asks before overwriting, once.
    dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!fileName.isEmpty()) {
        const QFileInfo info(fileName);
        if (info.dir().exists())
            dialog->setDirectory(info.dir());
        dialog->selectFile(info.fileName());
    }
    return dialog;
}

void QtDialogs::message(const Message &m) { messageBox(m, m_parent)->exec(); }

bool QtDialogs::question(const QString &text, const QString &title)
{
    return questionBox(text, title, m_parent)->exec() == QMessageBox::Yes;
}

std::optional<QString> QtDialogs::file(FileKind kind, const QString &filter, const QString &fileName)
{
    const std::unique_ptr<QFileDialog> dialog = fileDialog(kind, filter, fileName, m_parent);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::nullopt;
    return dialog->selectedFiles().constFirst();
}

} // namespace pv
