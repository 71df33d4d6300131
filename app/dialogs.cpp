#include "app/dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

void QtDialogs::Message(const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
    box.exec();
}

void QtDialogs::Error(const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.exec();
}

bool QtDialogs::Execute(OpenDialog& dialog, QWidget* parent)
{
    QFileDialog fileDialog(parent);
    fileDialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The same dialog names outputs too, so the chosen file need not exist.
    fileDialog.setFileMode(QFileDialog::AnyFile);
    fileDialog.setDefaultSuffix(dialog.defaultExtension);
    const QFileInfo offered(dialog.fileName);
    if (dialog.fileName.contains(QLatin1Char('*')) || dialog.fileName.contains(QLatin1Char('?'))) {
        fileDialog.setNameFilters({dialog.fileName, QStringLiteral("*")});
        if (offered.path() != QStringLiteral("."))
            fileDialog.setDirectory(offered.path());
    } else if (!dialog.fileName.isEmpty()) {
        fileDialog.selectFile(dialog.fileName);
    }
    if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty())
        return false;
    dialog.fileName = QDir::toNativeSeparators(fileDialog.selectedFiles().constFirst());
    return true;
}

std::optional<QString> QtDialogs::ChooseDirectory(const QString& title, const QString& initialDirectory,
                                                  QWidget* parent)
{
    const QString chosen = QFileDialog::getExistingDirectory(parent, title, initialDirectory);
    if (chosen.isEmpty())
        return std::nullopt;
    return QDir::toNativeSeparators(chosen);
}
