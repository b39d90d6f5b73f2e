#include "app/qtdialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace pv {

void QtDialogs::message(const Message &m)
{
    QMessageBox::Icon icon = QMessageBox::Critical;
    if (m.icon == Icon::Exclamation)
        icon = QMessageBox::Warning;
    else if (m.icon == Icon::Information)
        icon = QMessageBox::Information;
    QMessageBox box(icon, m.title, m.text, QMessageBox::Ok, m_parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

bool QtDialogs::question(const QString &text, const QString &title)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, m_parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtDialogs::file(FileKind kind, const QString &filter, const QString &fileName)
{
    const FilterParts parts = splitFilter(filter);
    QFileDialog dialog(m_parent);
    dialog.setNameFilter(parts.description + QStringLiteral(" (") + parts.patterns.join(u' ') + u')');
    dialog.setAcceptMode(kind == FileKind::Open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(kind == FileKind::Open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // The list shows the description alone; the patterns still match.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    // The program asks before overwriting, once.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!fileName.isEmpty()) {
        const QFileInfo info(fileName);
        if (info.dir().exists())
            dialog.setDirectory(info.dir());
        dialog.selectFile(info.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

} // namespace pv
